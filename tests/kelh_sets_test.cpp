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
#include <string>
#include <vector>

#include "kelh_engine.h"
#include "kelh_sets.h"
#include "load_rules.h"
#include "log_capture.h"
#include "regx_set.h"
#include "test_random.h"
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

using hdrw_test::TestRandom;
using hdrw_test::ValuePart;

const hdrw_test::HeaderWords kWords = {
    {"Subject", "From", "Received", "X-Mailer", "To"},
    {"free", "offer", "win", "cash", "relay", "bulk", "meds", "hi"}};

// Header-rule shapes, each as likely as the others.
const hdrw_test::RuleOptions kRules = {
    .words = kWords,
    .shapes = {{{"^%N:.*%W"}},
               {{"^%N:.*(%A)"}},
               {{"^%N:.*%C"}},
               {{"^%N:.*%G"}},
               {{"^%N: [0-9]{1,3}\\.[0-9]{1,3}"}},
               {{"^%N:.*%W$"}},
               {{"^%N:.*%W.*%W.*%W"}},
               {{"%W|%W"}},
               {{"[0-9]{3}-[0-9]{2}.*%W"}},
               {{"^%N: (a|b)*c"}},
               {{"(%W) \\1"}},             // a back-reference: matcher only
               {{"^%N:.*(a|aa)*b"}},       // runs into the limit
               {{"^%N:.*a.*a.*a.*a.*b"}},  // needs the byte counts, or the matcher
               {{"\\<%W"}},
               {{".*.*.*x"}},
               {{"^%N: *[A-Z!]{6,}$"}},
               {{"^%N:.*(%W )?%W"}},
               {{"^%N:.*([0-9]{1,3}-){2}[0-9]{1,2}"}},
               {{"^%N:.*(a[b ]+){%3}x"}},
               {{"^%N: ?([a-z]+ )+%W$"}},
               {{"^%N:.*(,[^,]{1,9}){3}"}},
               {{"^%N:.*\\<%W\\>.*(x|%W)?$"}},
               {{"^%N:.*a.*(b|ax)?.*%W"}},
               {{"(a|(x )+)%W"}},
               {{"^%N:.*\\<%W *[a-z]+( |$)"}},  // a word anchor after a loop
               {{"^%N: ?%W( *( |$))?$"}},       // x? that may be empty
               {{"^(From|To):.*@(%a)"}},
               // Shapes of imported rules: loops whose bound reads the line's
               // runs, tests after a loop, alternations and groups with loops.
               {{"^%N:(.*%W \\[[0-9]{1,3}\\.[0-9]{1,3}\\] by|.*%W * [0-9]{1,3} * by * [0-9]+;)"}},
               {{"^%N:.*[^ ]+<[0-9A-Za-z]+"}},
               {{"^%N:.*<([^>]*[^>])? >([^<>]*([^<>]|$))?$"}},
               {{"^%N:.*\\<[A-Za-z]+ [ #]{0,3}[ #][0-9]+[A-Z]+"}},
               {{"^%N:.*(\\[[0-9]+\\.[0-9]+\\]){2}"}}},
    .min_weight = -8,
    .max_weight = 31,
    .group_one_in = 12,  // two-line groups, some left open
    .lone_one_in = 0,
    .open_one_in = 4};

// Values of every part, folded now and then, the name in lower case now and then.
const hdrw_test::HeaderOptions kHeaders = {.words = kWords,
                                           .parts = {{ValuePart::kWord, 1},
                                                     {ValuePart::kNumbers, 1},
                                                     {ValuePart::kLetterRun, 1},
                                                     {ValuePart::kShout, 1},
                                                     {ValuePart::kX, 1},
                                                     {ValuePart::kAddress, 1},
                                                     {ValuePart::kLongRun, 1},
                                                     {ValuePart::kDashedNumbers, 1},
                                                     {ValuePart::kNearChainBound, 1},
                                                     {ValuePart::kCommaList, 1}},
                                           .max_parts = 8,
                                           .fold_one_in = 5,
                                           .lower_name_one_in = 10,
                                           .line_end = "\r\n",
                                           .max_lines = 12};

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

// checked - the plain walk's outcome, after checking that the fast walk
// gives the same
Outcome checked(const RuleBase *rb, const std::string &block, const Limits &limits,
                LogToMemory *log) {
  const Outcome want = run(rb, block, limits, true, log);
  const Outcome got = run(rb, block, limits, false, log);
  EXPECT_EQ(got.rc, want.rc) << "limit " << limits.max_backtracks;
  EXPECT_EQ(got.verdict, want.verdict) << "limit " << limits.max_backtracks;
  EXPECT_EQ(got.hits, want.hits) << "limit " << limits.max_backtracks;
  EXPECT_EQ(got.log, want.log) << "limit " << limits.max_backtracks;
  return want;
}

TEST(KelhSets, FastWalkGivesThePlainWalksResultsAndLogs) {
  LogToMemory log;
  int compared = 0;
  int grown = 0;      // rule bases whose sets built states: the fast walk used them
  size_t errors = 0;  // 29001 lines compared
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    TestRandom gen(seed);
    RuleBase *rb =
        parse(gen.rule_file(seed == 4 ? 150 : 45, kRules));  // 150: several sets per name
    ASSERT_NE(rb, nullptr);
    for (size_t cap : {size_t{0}, size_t{1} << 14, kelh_sets_cap(0)}) {
      ASSERT_EQ(rulebase_make_sets(rb, cap), 0u);
      const size_t start_bytes = kelh_sets_bytes(rb->sets);
      // Every block and limit again at the end, each pattern's bound sent
      // to the matcher (regx_set_bound_pays), so that the same pairs take
      // both ways
      std::vector<std::pair<std::string, Limits>> again;
      for (int m = 0; m < 24; ++m) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " message " + std::to_string(m) + " cap " +
                     std::to_string(cap));
        const std::string block = gen.header_block(kHeaders);
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
          const Outcome want = checked(rb, block, limits, &log);
          ASSERT_FALSE(HasFailure());
          again.emplace_back(block, limits);
          ++compared;
          for (const std::string &line : want.log) {
            errors += line.find("[29001]") != std::string::npos;
          }
        }
      }
      grown += static_cast<int>(cap != 0 && kelh_sets_bytes(rb->sets) > start_bytes);
      RegxSubject line;
      regx_subject_init(&line, "x", 1);
      for (RuleLine *rule = rb->first; rule != nullptr; rule = rule->next) {
        for (int k = 0; k < 300 && regx_set_bound_pays(&rule->pattern) != 0; ++k) {
          regx_set_fits(&rule->pattern, 0, &line);  // no run fits limit 0
        }
      }
      for (const auto &[block, limits] : again) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " again, cap " + std::to_string(cap));
        checked(rb, block, limits, &log);
        ASSERT_FALSE(HasFailure());
      }
    }
    rulebase_free(rb);
  }
  EXPECT_GT(compared, 1500);
  EXPECT_EQ(grown, 8);
  EXPECT_GT(errors, 100u);
}

}  // namespace
