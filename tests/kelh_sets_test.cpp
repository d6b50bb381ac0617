// Differential test of the evaluation's sets: rulebase_evaluate, which takes a
// pair's answer from a set's scan wherever the push bound allows, against the
// plain walk (kelh_evaluate_with with match_header_line: every pair through
// the matcher). Result, verdict, hit list and every log line must be the same
// on random rule bases of header-rule shapes (literals after .*, alternations,
// letter-case classes, gapped letters, counted classes, anchored ends, several
// .*, groups with ?, {n} and + inside and around .* chains, word anchors,
// rules for every line, multi-line rules, and shapes only the matcher takes),
// random header blocks (lines around the bounds of the .* chains), backtrack limits at and next to
// the counts of the pairs, thresholds and header length limits; and again with state budgets so
// small that the sets run out of states part way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kelh_engine.h"
#include "kelh_sets.h"
#include "load_rules.h"
#include "log_capture.h"
#include "tlvpr_mem.h"
#include "tvr_log_settings.h"

namespace {

using hdrw_test::EventCapture;

// Every log record goes to the system-log sink, whose reporter the capture
// replaces: the records stay in memory.
struct LogToMemory {
  EventCapture events;
  LogToMemory() { tvr_log_configure("syslog", "7", "0", "DAY", "0"); }
  ~LogToMemory() { hdrw_test::quiet_log(); }
};

const char *const kNames[] = {"Subject", "From", "Received", "X-Mailer", "To"};
const char *const kWords[] = {"free", "offer", "win", "cash", "relay", "bulk", "meds", "hi"};

struct Gen {
  std::mt19937 random;
  explicit Gen(uint32_t seed) : random(seed) {}
  uint32_t pick(uint32_t n) { return random() % n; }
  std::string name() { return kNames[pick(5)]; }
  std::string word() { return kWords[pick(8)]; }

  std::string alternation(uint32_t n) {
    std::string out = "(";
    for (uint32_t i = 0; i < n; ++i) {
      out += (i != 0 ? "|" : "") + word();
    }
    return out + ")";
  }

  // letter-case classes ([Ff][Rr]...), or gapped ([Ff].{0,2}[Rr]...)
  std::string letters(const std::string &w, bool gaps) {
    std::string out;
    for (size_t i = 0; i < w.size(); ++i) {
      out += gaps && i != 0 ? ".{0,2}[" : "[";
      out += static_cast<char>(w[i] - 32);
      out += w[i];
      out += ']';
    }
    return out;
  }

  std::string pattern() {
    const std::string anchor = "^" + name() + ":";
    switch (pick(26)) {
      case 0:
        return anchor + ".*" + word();
      case 1:
        return anchor + ".*" + alternation(2 + pick(10));
      case 2:
        return anchor + ".*" + letters(word(), false);
      case 3:
        return anchor + ".*" + letters(word(), true);
      case 4:
        return anchor + " [0-9]{1,3}\\.[0-9]{1,3}";
      case 5:
        return anchor + ".*" + word() + "$";
      case 6:
        return anchor + ".*" + word() + ".*" + word() + ".*" + word();
      case 7:
        return word() + "|" + word();
      case 8:
        return "[0-9]{3}-[0-9]{2}.*" + word();
      case 9:
        return anchor + " (a|b)*c";
      case 10:
        return "(" + word() + ") \\1";  // a back-reference: matcher only
      case 11:
        return anchor + ".*(a|aa)*b";  // runs into the limit
      case 12:
        return anchor + ".*a.*a.*a.*a.*b";  // needs the byte counts, or the matcher
      case 13:
        return "\\<" + word();
      case 14:
        return ".*.*.*x";
      case 15:
        return anchor + " *[A-Z!]{6,}$";
      case 16:
        return anchor + ".*(" + word() + " )?" + word();
      case 17:
        return anchor + ".*([0-9]{1,3}-){2}[0-9]{1,2}";
      case 18:
        return anchor + ".*(a[b ]+){" + std::to_string(1 + pick(3)) + "}x";
      case 19:
        return anchor + " ?([a-z]+ )+" + word() + "$";
      case 20:
        return anchor + ".*(,[^,]{1,9}){3}";
      case 21:
        return anchor + ".*\\<" + word() + "\\>.*(x|" + word() + ")?$";
      case 22:
        return anchor + ".*a.*(b|ax)?.*" + word();
      case 23:
        return "(a|(x )+)" + word();
      case 24:
        return anchor + ".*\\<" + word() + " *[a-z]+( |$)";  // a word anchor after a loop
      case 25:
        return anchor + " ?" + word() + "( *( |$))?$";  // x? that may be empty
      default:
        return "^(From|To):.*@" + alternation(1 + pick(3));
    }
  }

  // A rule text of count rules, a few of them two-line rules, some weights negative.
  std::string rules(int count) {
    std::string text = "# version 04/18/2001/002\n";
    char head[32];
    for (int id = 1; id <= count; ++id) {
      const int weight = static_cast<int>(pick(40)) - 8;
      if (pick(12) == 0) {
        snprintf(head, sizeof head, "%010d%03d005&+", id, 0);
        text += head + pattern() + "\n";
        snprintf(head, sizeof head, "%010d%03d005%s", id, weight < 0 ? 3 : weight,
                 pick(4) == 0 ? "&+" : "&.");  // some groups stay open
        text += head + pattern() + "\n";
        continue;
      }
      if (weight < 0) {
        snprintf(head, sizeof head, "%010d-%02d001&-", id, -weight);
      } else {
        snprintf(head, sizeof head, "%010d%03d001&-", id, weight);
      }
      text += head + pattern() + "\n";
    }
    return text;
  }

  std::string text() {
    std::string out;
    const uint32_t parts = 1 + pick(8);
    for (uint32_t i = 0; i < parts; ++i) {
      switch (pick(10)) {
        case 0:
          out += std::to_string(pick(1000)) + "-" + std::to_string(pick(100));
          break;
        case 1:
          out += std::string(1 + pick(30), "ab"[pick(2)]);
          break;
        case 2:
          out += "FREE!!! CASH";
          break;
        case 3:
          out += "x";
          break;
        case 4:
          out += "a@" + word() + ".ru";
          break;
        case 5:
          out += std::string(100 + pick(700), "ax "[pick(3)]);
          break;
        case 6:
          for (uint32_t n = 1 + pick(40); n > 0; --n) {
            out += "123-45 ";
          }
          break;
        case 7:
          // around the bound of a .* chain: a run of a's, spaces and words
          for (uint32_t n = 20 + pick(80); n > 0; --n) {
            out += pick(3) == 0 ? " " : pick(4) == 0 ? word() : "a";
          }
          break;
        case 8:
          out += "a,b,cc,d,e" + std::string(pick(2) ? "," : "") + "12-3-45";
          break;
        default:
          out += word();
          break;
      }
      out += pick(5) == 0 ? "\r\n\t" : " ";
    }
    return out + word();
  }

  std::string block() {
    std::string out;
    const uint32_t lines = 1 + pick(12);
    for (uint32_t i = 0; i < lines; ++i) {
      out += pick(10) == 0 ? "subject" : name();
      out += ": " + text() + "\r\n";
    }
    return out;
  }
};

RuleBase *parse(const std::string &text) {
  std::string copy = text;
  FILE *stream = fmemopen(copy.data(), copy.size(), "r");
  RuleBase *rb = nullptr;
  EXPECT_EQ(rulebase_parse(stream, &rb, 1), 0u);
  fclose(stream);
  return rb;
}

struct Outcome {
  uint32_t rc = 0;
  int verdict = 0;
  std::vector<int32_t> hits;
  std::vector<std::string> log;  // level, code and text of every record
  bool operator==(const Outcome &o) const {
    return rc == o.rc && verdict == o.verdict && hits == o.hits && log == o.log;
  }
};

struct Limits {
  int32_t threshold;
  uint32_t max_header;
  uint32_t max_backtracks;
};

int plain_match(void *, RuleLine *line, uint32_t, char *text, uint32_t length,
                uint32_t max_backtracks) {
  return match_header_line(&line->pattern, text, length, max_backtracks);
}

// The backtrack counts of the plain walk's pairs (high limit), for limits next to them.
int counting_match(void *context, RuleLine *line, uint32_t, char *text, uint32_t length, uint32_t) {
  const char saved = text[length];
  text[length] = '\0';
  uint32_t count = 0;
  const int rc = regx_exec(&line->pattern, text, 200000, &count, 0);
  text[length] = saved;
  if (rc == REGX_OK || rc == REGX_NOMATCH) {
    static_cast<std::vector<uint32_t> *>(context)->push_back(count);
  }
  return rc;
}

Outcome run(const RuleBase *rb, const std::string &block, const Limits &limits, bool plain,
            LogToMemory *log) {
  std::vector<char> buffer(block.begin(), block.end());
  log->events.clear();
  RuleHit *hits = nullptr;
  Outcome out;
  const uint32_t length = static_cast<uint32_t>(buffer.size());
  out.rc = plain ? kelh_evaluate_with(buffer.data(), length, &hits, rb, limits.threshold,
                                      limits.max_header, limits.max_backtracks, &out.verdict,
                                      plain_match, nullptr)
                 : rulebase_evaluate(buffer.data(), length, &hits, rb, limits.threshold,
                                     limits.max_header, limits.max_backtracks, &out.verdict);
  for (const RuleHit *hit = hits; hit != nullptr; hit = hit->next) {
    out.hits.push_back(hit->rule_id);
    out.hits.push_back(hit->weight);
  }
  kelh_free_hits(hits);
  for (const hdrw_test::EventRecord &e : log->events.events()) {
    // The line without its time stamp, process and thread (which may differ).
    out.log.push_back(std::to_string(e.type) + " " + e.text.substr(e.text.find("): ")));
  }
  return out;
}

TEST(KelhSets, FastWalkGivesThePlainWalksResultsAndLogs) {
  LogToMemory log;
  int compared = 0;
  int grown = 0;      // rule bases whose sets built states: the fast walk used them
  size_t errors = 0;  // 29001 lines compared
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    Gen gen(seed);
    RuleBase *rb = parse(gen.rules(seed == 4 ? 150 : 45));  // 150: several sets per name
    ASSERT_NE(rb, nullptr);
    for (size_t cap : {size_t{0}, size_t{1} << 14, kelh_sets_cap(0)}) {
      ASSERT_EQ(rulebase_make_sets(rb, cap), 0u);
      const size_t start_bytes = kelh_sets_bytes(rb->sets);
      for (int m = 0; m < 24; ++m) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " message " + std::to_string(m) + " cap " +
                     std::to_string(cap));
        const std::string block = gen.block();
        std::vector<uint32_t> counts;
        {
          std::vector<char> buffer(block.begin(), block.end());
          RuleHit *hits = nullptr;
          int verdict = 0;
          kelh_evaluate_with(buffer.data(), static_cast<uint32_t>(buffer.size()), &hits, rb, 0, 0,
                             200000, &verdict, counting_match, &counts);
          while (hits != nullptr) {
            RuleHit *next = hits->next;
            tlvpr_free(hits);
            hits = next;
          }
        }
        std::vector<Limits> configs = {
            {0, 768, 25000}, {-5, 0, 25000}, {20, 60, 300}, {60, 768, 40}};
        // Limits at and next to the highest counts and a few others.
        std::sort(counts.rbegin(), counts.rend());
        counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
        for (size_t k = 0; k < 5 && !counts.empty(); ++k) {
          const uint32_t count = k < 3 && k < counts.size()
                                     ? counts[k]
                                     : counts[gen.pick(static_cast<uint32_t>(counts.size()))];
          for (uint32_t limit : {count, count + 1, count > 0 ? count - 1 : 0}) {
            configs.push_back({static_cast<int32_t>(gen.pick(3)) * 15, 768, limit});
          }
        }
        for (const Limits &limits : configs) {
          const Outcome want = run(rb, block, limits, true, &log);
          const Outcome got = run(rb, block, limits, false, &log);
          ASSERT_EQ(got.rc, want.rc) << "limit " << limits.max_backtracks;
          ASSERT_EQ(got.verdict, want.verdict) << "limit " << limits.max_backtracks;
          ASSERT_EQ(got.hits, want.hits) << "limit " << limits.max_backtracks;
          ASSERT_EQ(got.log, want.log) << "limit " << limits.max_backtracks;
          ++compared;
          for (const std::string &line : want.log) {
            errors += line.find("[29001]") != std::string::npos;
          }
        }
      }
      grown += static_cast<int>(cap != 0 && kelh_sets_bytes(rb->sets) > start_bytes);
    }
    rulebase_free(rb);
  }
  EXPECT_GT(compared, 1500);
  EXPECT_EQ(grown, 8);
  EXPECT_GT(errors, 100u);
}

}  // namespace
