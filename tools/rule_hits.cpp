// rule_hits - the hits file, written and read (contract in rule_hits.h)
// (tested in tests/rules_fit_test.cpp)
#include "rule_hits.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <unordered_map>

#include "cli_errors.h"

namespace hdrw_cli {
namespace {

constexpr const char kHitsFirstLine[] = "# hdrweights rules hits 1";

// hits_number - a whole decimal number of a line, or false
bool hits_number(const std::string &word, int64_t lo, int64_t hi, int64_t &out) {
  if (word.empty() || word.size() > 20) return false;
  const size_t digits = word[0] == '-' ? 1 : 0;
  if (word.size() == digits || word.find_first_not_of("0123456789", digits) != std::string::npos) {
    return false;
  }
  errno = 0;
  char *end = nullptr;
  const long long v = std::strtoll(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

std::vector<std::string> hits_words(const std::string &line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// hits_names - each rule's name in a hits file: its ID, and for the k-th rule
// (k from 2) of an ID that names several, ID#k
std::vector<std::string> hits_names(const std::vector<int32_t> &ids) {
  std::unordered_map<int32_t, size_t> seen;
  std::vector<std::string> names;
  for (int32_t id : ids) {
    const size_t k = ++seen[id];
    names.push_back(std::to_string(id) + (k == 1 ? "" : "#" + std::to_string(k)));
  }
  return names;
}

}  // namespace

std::string hits_head(const StatsReport &report) {
  std::string out = std::string(kHitsFirstLine) + "\n";
  for (const std::string &id : report.report_ids) out += "report " + id + "\n";
  out += "sha256 " + report.sha256 + "\n";
  out += "limits " + std::to_string(report.limits.max_header_length) + " " +
         std::to_string(report.limits.max_total_headers_length) + " " +
         std::to_string(report.limits.max_backtracks) + "\n";
  out += "rules";
  for (const std::string &name : hits_rule_names(report)) out += " " + name;
  return out + "\n";
}

std::vector<std::string> hits_rule_names(const StatsReport &report) {
  std::vector<int32_t> ids;
  for (const RuleStat &r : report.rules) ids.push_back(r.rule_id);
  return hits_names(ids);
}

std::string hits_line(const std::vector<std::string> &names, const MessageFacts &facts) {
  std::string out = facts.is_spam ? "spam" : "ham";
  if (facts.kind == TRACE_TOO_LONG) return out + " always\n";
  for (uint32_t rule : facts.hit_rules) out += " " + names[rule];
  return out + "\n";
}

HitsFile hits_read(const std::string &text, const std::string &name) {
  HitsFile f;
  std::unordered_map<std::string, uint32_t> index;  // rule name -> rule
  bool have_sha = false, have_limits = false, have_rules = false;
  size_t number = 0, pos = 0;
  auto fail = [&](const std::string &why) {
    throw Failure(name + ":" + std::to_string(number) + ": " + why);
  };
  while (pos < text.size()) {
    const size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) {
      ++number;
      fail("the last line has no line end (a file cut short?)");
    }
    const std::string line = text.substr(pos, lf - pos);
    pos = lf + 1;
    ++number;
    if (number == 1) {
      if (line != kHitsFirstLine) fail("not a hits file of hdrweights rules stats");
      continue;
    }
    const std::vector<std::string> words = hits_words(line);
    if (words.empty()) fail("an empty line");
    const std::string &kind = words[0];
    if (kind == "spam" || kind == "ham") {
      if (!have_sha || !have_limits || !have_rules || f.report_ids.empty()) {
        fail("a message before the head lines (report, sha256, limits, rules)");
      }
      HitsMessage m;
      m.spam = kind == "spam";
      if (words.size() == 2 && words[1] == "always") {
        m.always = true;
      } else {
        for (size_t i = 1; i < words.size(); ++i) {
          const auto it = index.find(words[i]);
          if (it == index.end()) fail("rule " + words[i] + " is not in the rules line");
          if (!m.rules.empty() && it->second <= m.rules.back()) {
            fail("rule " + words[i] + " repeated or out of rule-base order");
          }
          m.rules.push_back(it->second);
        }
      }
      f.messages.push_back(std::move(m));
    } else if (!f.messages.empty()) {
      fail("a head line after the messages");
    } else if (kind == "report" && words.size() == 2 && is_report_id(words[1])) {
      add_report_ids(f.report_ids, {words[1]}, name + ":" + std::to_string(number));
    } else if (kind == "sha256" && words.size() == 2 && !have_sha && words[1].size() == 64 &&
               words[1].find_first_not_of("0123456789abcdef") == std::string::npos) {
      f.sha256 = words[1];
      have_sha = true;
    } else if (kind == "limits" && words.size() == 4 && !have_limits) {
      int64_t v[3];
      for (size_t i = 0; i < 3; ++i) {
        if (!hits_number(words[i + 1], 0, UINT32_MAX, v[i])) fail("bad limits line");
      }
      f.limits = {static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]),
                  static_cast<uint32_t>(v[2])};
      have_limits = true;
    } else if (kind == "rules" && !have_rules) {
      for (size_t i = 1; i < words.size(); ++i) {
        int64_t id = 0;
        const std::string id_text = words[i].substr(0, words[i].find('#'));
        if (!hits_number(id_text, INT32_MIN, INT32_MAX, id)) {
          fail("'" + words[i] + "' is no rule ID");
        }
        f.rule_ids.push_back(static_cast<int32_t>(id));
        index.emplace(words[i], static_cast<uint32_t>(i - 1));
      }
      // The names are those the IDs give, in this order.
      if (hits_names(f.rule_ids) != std::vector<std::string>(words.begin() + 1, words.end())) {
        fail("the rules line names a rule otherwise than by its ID (and #k for a repeated ID)");
      }
      have_rules = true;
    } else {
      fail("unknown or repeated line '" + kind + "'");
    }
  }
  if (!have_sha || !have_limits || !have_rules || f.report_ids.empty()) {
    ++number;
    fail("the head lines (report, sha256, limits, rules) are incomplete");
  }
  return f;
}

void hits_merge(HitsFile &into, const HitsFile &from, const std::string &name) {
  if (from.sha256 != into.sha256 || from.rule_ids != into.rule_ids) {
    throw Failure(name + ": hits of another rule file (SHA-256 " + from.sha256 + ", not " +
                  into.sha256 + ")");
  }
  check_same_limits(into.limits, from.limits, name);
  add_report_ids(into.report_ids, from.report_ids, name);
  into.messages.insert(into.messages.end(), from.messages.begin(), from.messages.end());
}

}  // namespace hdrw_cli
