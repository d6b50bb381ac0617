// rule_stats - per-rule counts of a corpus, and their JSON (contract in rule_stats.h)
//
// A message's place on the threshold curve is its highest running total: a
// positive threshold ends the walk at the first hit that brings the total to
// it, so a message is flagged at every positive threshold up to that peak,
// whatever negative weights come later. The peaks are kept as a histogram per
// class, which is all the curve needs and what shards add up.
// (tested in tests/cli_test.cpp)
#include "rule_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include <openssl/rand.h>

#include "cli_json_text.h"
#include "regx.h"

namespace hdrw_cli {
namespace {

constexpr int kJsonVersion = 2;
constexpr const char kJsonKind[] = "hdrweights rules stats";

std::string stats_number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// stats_ratio - a JSON rate: part / whole, null when whole is 0
std::string stats_ratio(uint64_t part, uint64_t whole) {
  if (whole == 0) return "null";
  return stats_number(static_cast<double>(part) / static_cast<double>(whole));
}

// stats_add - into + more, or Failure naming the report when it would overflow
void stats_add(uint64_t &into, uint64_t more, const std::string &name) {
  if (into > UINT64_MAX - more) {
    throw Failure(name + ": counts too large to add up (the sum would overflow)");
  }
  into += more;
}

std::string stats_cut(const char *text, uint32_t length) {
  return std::string(text, std::min<size_t>(length, kLimitLineCut));
}

void stats_json_totals(std::string &out, const ClassTotals &t) {
  out += "{\"messages\": " + std::to_string(t.messages) +
         ", \"always\": " + std::to_string(t.always) +
         ", \"evaluated\": " + std::to_string(t.evaluated) +
         ", \"positive\": " + std::to_string(t.positive) + ", \"peaks\": [";
  bool first = true;
  for (const auto &[peak, count] : t.peaks) {
    if (!first) out += ", ";
    first = false;
    out += "[" + std::to_string(peak) + ", " + std::to_string(count) + "]";
  }
  out += "]}";
}

void stats_json_hits(std::string &out, const std::vector<HdrwHit> &hits) {
  out += "[";
  for (size_t i = 0; i < hits.size(); ++i) {
    if (i > 0) out += ", ";
    out += "{\"rule\": " + std::to_string(static_cast<uint32_t>(hits[i].rule_id)) +
           ", \"weight\": " + std::to_string(hits[i].weight) + "}";
  }
  out += "]";
}

// The reading side: every figure with the path that names it in errors.
struct StatsReader {
  std::string name;

  [[noreturn]] void fail(const std::string &why) const { throw Failure(name + ": " + why); }

  int32_t int32(const JsonValue &v, const std::string &path) const {
    const int64_t n = json_int64(v, path);
    if (n < INT32_MIN || n > INT32_MAX) throw JsonError(path + ": number out of range");
    return static_cast<int32_t>(n);
  }

  uint32_t uint32(const JsonValue &v, const std::string &path) const {
    const uint64_t n = json_uint64(v, path);
    if (n > UINT32_MAX) throw JsonError(path + ": number out of range");
    return static_cast<uint32_t>(n);
  }

  // A derived figure: a number or null; its value is worked out again.
  void derived(const JsonValue &v, const std::string &path) const {
    if (v.type != JsonValue::NUMBER && v.type != JsonValue::NUL) {
      throw JsonError(path + ": expected a number or null");
    }
  }

  ClassTotals totals(const JsonValue &v, const std::string &path) const {
    json_check_members(v, {"messages", "always", "evaluated", "positive", "peaks"}, path);
    ClassTotals t;
    t.messages = json_uint64(json_member(v, "messages", path), path + ".messages");
    t.always = json_uint64(json_member(v, "always", path), path + ".always");
    t.evaluated = json_uint64(json_member(v, "evaluated", path), path + ".evaluated");
    t.positive = json_uint64(json_member(v, "positive", path), path + ".positive");
    const auto &peaks = json_array(json_member(v, "peaks", path), path + ".peaks");
    uint64_t counted = 0;
    for (size_t i = 0; i < peaks.size(); ++i) {
      const std::string at = path + ".peaks[" + std::to_string(i) + "]";
      const auto &pair = json_array(peaks[i], at);
      if (pair.size() != 2) throw JsonError(at + ": expected [total, messages]");
      const int32_t peak = int32(pair[0], at + "[0]");
      const uint64_t count = json_uint64(pair[1], at + "[1]");
      if (peak <= 0 || count == 0 || !t.peaks.emplace(peak, count).second) {
        throw JsonError(at + ": a total above 0 given once, with at least one message");
      }
      if (counted > UINT64_MAX - count) throw JsonError(at + ": counts that do not add up");
      counted += count;
    }
    // Every message counted is unread or evaluated; a positive total has a
    // positive peak.
    if (t.always > t.messages || t.evaluated != t.messages - t.always || t.positive > counted ||
        counted > t.evaluated) {
      throw JsonError(path + ": counts that do not add up");
    }
    return t;
  }

  std::vector<HdrwHit> hits(const JsonValue &v, const std::string &path) const {
    std::vector<HdrwHit> out;
    const auto &items = json_array(v, path);
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string at = path + "[" + std::to_string(i) + "]";
      json_check_members(items[i], {"rule", "weight"}, at);
      out.push_back({static_cast<int32_t>(uint32(json_member(items[i], "rule", at), at + ".rule")),
                     int32(json_member(items[i], "weight", at), at + ".weight")});
    }
    return out;
  }

  RuleStat rule(const JsonValue &v, const std::string &path) const {
    json_check_members(v,
                       {"rule", "weight", "lines", "source_line", "pattern", "spam_hits",
                        "spam_rate", "ham_hits", "ham_rate", "spam_share", "max_backtracks",
                        "limit_lines", "stack_lines", "limit_header", "match_ns", "time_share"},
                       path);
    RuleStat r;
    auto member = [&](const char *n) -> const JsonValue & { return json_member(v, n, path); };
    auto at = [&](const char *n) { return path + "." + n; };
    r.rule_id = static_cast<int32_t>(uint32(member("rule"), at("rule")));
    r.weight = int32(member("weight"), at("weight"));
    r.lines = uint32(member("lines"), at("lines"));
    r.source_line = json_uint64(member("source_line"), at("source_line"));
    r.pattern = json_string(member("pattern"), at("pattern"));
    r.spam_hits = json_uint64(member("spam_hits"), at("spam_hits"));
    r.ham_hits = json_uint64(member("ham_hits"), at("ham_hits"));
    r.max_backtracks = json_uint64(member("max_backtracks"), at("max_backtracks"));
    r.limit_lines = json_uint64(member("limit_lines"), at("limit_lines"));
    r.stack_lines = json_uint64(member("stack_lines"), at("stack_lines"));
    const JsonValue &header = member("limit_header");
    if (header.type != JsonValue::NUL) {
      r.has_limit_header = true;
      r.limit_header = json_string(header, at("limit_header"));
    }
    if (r.has_limit_header != (r.limit_lines + r.stack_lines > 0)) {
      throw JsonError(at("limit_header") + ": given exactly when a match met a limit");
    }
    r.match_ns = json_uint64(member("match_ns"), at("match_ns"));
    for (const char *d : {"spam_rate", "ham_rate", "spam_share", "time_share"})
      derived(member(d), at(d));
    return r;
  }

  StatsReport report(const std::string &text) const {
    StatsReport r;
    try {
      const JsonValue doc = json_parse(text);
      json_check_members(
          doc,
          {"report", "version", "report_ids", "rule_file", "sha256", "limits", "threshold",
           "failed", "no_header", "spam", "ham", "match_ns", "rules", "thresholds", "flagged_ham"},
          "the report");
      auto member = [&](const char *n) -> const JsonValue & {
        return json_member(doc, n, "the report");
      };
      if (json_string(member("report"), "report") != kJsonKind) {
        fail("not a report of hdrweights rules stats");
      }
      if (json_int64(member("version"), "version") != kJsonVersion) {
        fail("a report of another version (this command reads version " +
             std::to_string(kJsonVersion) + ")");
      }
      const auto &ids = json_array(member("report_ids"), "report_ids");
      for (size_t i = 0; i < ids.size(); ++i) {
        const std::string at = "report_ids[" + std::to_string(i) + "]";
        const std::string &id = json_string(ids[i], at);
        if (!is_report_id(id)) throw JsonError(at + ": expected a report ID");
        if (std::find(r.report_ids.begin(), r.report_ids.end(), id) != r.report_ids.end()) {
          throw JsonError(at + ": the same report ID twice");
        }
        r.report_ids.push_back(id);
      }
      if (r.report_ids.empty()) throw JsonError("report_ids: expected at least one report ID");
      r.rule_file = json_string(member("rule_file"), "rule_file");
      r.sha256 = json_string(member("sha256"), "sha256");
      if (r.sha256.size() != 64 ||
          r.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
        throw JsonError("sha256: expected 64 lower-case hexadecimal digits");
      }
      const JsonValue &limits = member("limits");
      json_check_members(
          limits, {"max_header_length", "max_total_headers_length", "max_backtracks"}, "limits");
      r.limits.max_header_length =
          uint32(json_member(limits, "max_header_length", "limits"), "limits.max_header_length");
      r.limits.max_total_headers_length =
          uint32(json_member(limits, "max_total_headers_length", "limits"),
                 "limits.max_total_headers_length");
      r.limits.max_backtracks =
          uint32(json_member(limits, "max_backtracks", "limits"), "limits.max_backtracks");
      r.threshold = int32(member("threshold"), "threshold");
      r.failed = json_uint64(member("failed"), "failed");
      r.no_header = json_uint64(member("no_header"), "no_header");
      r.spam = totals(member("spam"), "spam");
      r.ham = totals(member("ham"), "ham");
      const uint64_t match_ns = json_uint64(member("match_ns"), "match_ns");
      const auto &rules = json_array(member("rules"), "rules");
      uint64_t rules_ns = 0;
      for (size_t i = 0; i < rules.size(); ++i) {
        const std::string at = "rules[" + std::to_string(i) + "]";
        r.rules.push_back(rule(rules[i], at));
        const RuleStat &s = r.rules.back();
        if (s.spam_hits > r.spam.evaluated || s.ham_hits > r.ham.evaluated) {
          throw JsonError(at + ": more hits than messages evaluated");
        }
        if (rules_ns > UINT64_MAX - s.match_ns) throw JsonError(at + ".match_ns: times overflow");
        rules_ns += s.match_ns;
      }
      if (rules_ns != match_ns) throw JsonError("match_ns: not the sum of the rules' times");
      const auto &rows = json_array(member("thresholds"), "thresholds");
      for (size_t i = 0; i < rows.size(); ++i) {
        const std::string at = "thresholds[" + std::to_string(i) + "]";
        json_check_members(
            rows[i], {"threshold", "spam_caught", "spam_rate", "ham_flagged", "ham_rate"}, at);
        const int32_t threshold = int32(json_member(rows[i], "threshold", at), at + ".threshold");
        if (json_uint64(json_member(rows[i], "spam_caught", at), at + ".spam_caught") !=
                flagged_at(r.spam, threshold) ||
            json_uint64(json_member(rows[i], "ham_flagged", at), at + ".ham_flagged") !=
                flagged_at(r.ham, threshold)) {
          throw JsonError(at + ": counts other than the class counts give");
        }
        derived(json_member(rows[i], "spam_rate", at), at + ".spam_rate");
        derived(json_member(rows[i], "ham_rate", at), at + ".ham_rate");
      }
      const auto &flagged = json_array(member("flagged_ham"), "flagged_ham");
      for (size_t i = 0; i < flagged.size(); ++i) {
        const std::string at = "flagged_ham[" + std::to_string(i) + "]";
        json_check_members(flagged[i], {"path", "score", "hits"}, at);
        FlaggedHam h;
        h.path = json_string(json_member(flagged[i], "path", at), at + ".path");
        h.score = int32(json_member(flagged[i], "score", at), at + ".score");
        h.hits = hits(json_member(flagged[i], "hits", at), at + ".hits");
        r.flagged_ham.push_back(std::move(h));
      }
      if (r.flagged_ham.size() != flagged_at(r.ham, r.threshold)) {
        throw JsonError("flagged_ham: not the ham the threshold flags");
      }
    } catch (const JsonError &e) {
      fail(std::string("malformed report: ") + e.what());
    }
    return r;
  }
};

}  // namespace

std::vector<RuleStat> stats_rules(const LoadedRules &rules, std::vector<uint32_t> &rule_of_line) {
  std::vector<RuleStat> out;
  rule_of_line.assign(rules.lines.size(), 0);
  size_t group_start = SIZE_MAX;  // first pending "&+" line
  std::vector<size_t> pending;
  for (size_t i = 0; i < rules.lines.size(); ++i) {
    const RuleLine *line = rules.lines[i].line;
    if (line->rule_type == RULE_TYPE_MULTI && line->conjunction != RULE_CONJ_LAST) {
      if (pending.empty()) group_start = i;
      pending.push_back(i);
      continue;
    }
    RuleStat r;
    r.rule_id = line->rule_id;
    r.weight = line->weight;
    size_t first = i;
    if (line->rule_type == RULE_TYPE_MULTI) {
      if (!pending.empty()) first = group_start;
      for (size_t p : pending) rule_of_line[p] = static_cast<uint32_t>(out.size());
      r.lines = static_cast<uint32_t>(pending.size() + 1);
      pending.clear();
    }
    r.source_line = rules.lines[first].source_line;
    r.pattern = rules.lines[first].pattern;
    rule_of_line[i] = static_cast<uint32_t>(out.size());
    out.push_back(std::move(r));
  }
  if (!pending.empty()) {
    // An unterminated group: its lines run and fail or match, but never hit.
    RuleStat r;
    r.rule_id = rules.lines[pending.back()].line->rule_id;
    r.weight = rules.lines[pending.back()].line->weight;
    r.lines = static_cast<uint32_t>(pending.size());
    r.source_line = rules.lines[group_start].source_line;
    r.pattern = rules.lines[group_start].pattern;
    for (size_t p : pending) rule_of_line[p] = static_cast<uint32_t>(out.size());
    out.push_back(std::move(r));
  }
  return out;
}

MessageFacts stats_facts(const std::vector<uint32_t> &rule_of_line, const MessageTrace &trace,
                         bool is_spam, const std::string &display, int32_t threshold) {
  MessageFacts f;
  f.is_spam = is_spam;
  f.kind = trace.kind;
  f.positive = trace.kind == TRACE_EVALUATED && trace.score > 0;
  f.peak = peak_total(trace);
  for (uint32_t line : trace.hit_lines) f.hit_rules.push_back(rule_of_line[line]);
  for (const TraceTry &t : trace.tries) {
    if (t.result == REGX_ETOOMANY || t.result == REGX_ESTACK) {
      f.limits.push_back({rule_of_line[t.line], t.result,
                          stats_cut(trace.unfolded.data() + t.header_offset, t.header_length)});
    }
  }
  if (!is_spam) {
    ThresholdVerdict v = verdict_at(trace, threshold);
    if (v.spam) {
      f.flagged_ham = true;
      f.ham = {display, v.score, std::move(v.hits)};
    }
  }
  return f;
}

void stats_add_facts(StatsReport &report, const MessageFacts &f) {
  if (f.kind == TRACE_NO_HEADER) {
    // Nothing to judge: neither spam nor ham.
    ++report.no_header;
    return;
  }
  ClassTotals &t = f.is_spam ? report.spam : report.ham;
  ++t.messages;
  if (f.kind == TRACE_TOO_LONG) ++t.always;
  if (f.kind == TRACE_EVALUATED) {
    ++t.evaluated;
    if (f.positive) ++t.positive;
    if (f.peak > 0) ++t.peaks[f.peak];
  }
  for (uint32_t rule : f.hit_rules) {
    ++(f.is_spam ? report.rules[rule].spam_hits : report.rules[rule].ham_hits);
  }
  for (const LimitEvent &e : f.limits) {
    RuleStat &r = report.rules[e.rule];
    ++(e.result == REGX_ETOOMANY ? r.limit_lines : r.stack_lines);
    if (!r.has_limit_header) {
      r.has_limit_header = true;
      r.limit_header = e.header;
    }
  }
  if (f.flagged_ham) report.flagged_ham.push_back(f.ham);
}

void stats_add_costs(RuleCosts &costs, const std::vector<uint32_t> &rule_of_line,
                     const MessageTrace &trace) {
  for (const TraceTry &t : trace.tries) {
    costs.ticks[t.line] += t.ticks;
    uint64_t &most = costs.max_backtracks[rule_of_line[t.line]];
    most = std::max<uint64_t>(most, t.backtracks);
  }
}

void stats_add_costs_to_report(StatsReport &report, const std::vector<uint32_t> &rule_of_line,
                               const RuleCosts &costs, double ns_per_tick) {
  for (size_t line = 0; line < costs.ticks.size(); ++line) {
    report.rules[rule_of_line[line]].match_ns +=
        static_cast<uint64_t>(static_cast<double>(costs.ticks[line]) * ns_per_tick + 0.5);
  }
  for (size_t rule = 0; rule < costs.max_backtracks.size(); ++rule) {
    report.rules[rule].max_backtracks =
        std::max(report.rules[rule].max_backtracks, costs.max_backtracks[rule]);
  }
}

uint64_t flagged_at(const ClassTotals &t, int32_t threshold) {
  if (threshold < 0) return t.always + t.evaluated;
  if (threshold == 0) return t.always + t.positive;
  uint64_t n = t.always;
  for (auto it = t.peaks.lower_bound(threshold); it != t.peaks.end(); ++it) n += it->second;
  return n;
}

std::vector<int32_t> stats_thresholds(const StatsReport &report) {
  std::vector<int32_t> out;
  for (const auto &[peak, count] : report.spam.peaks) out.push_back(peak);
  for (const auto &[peak, count] : report.ham.peaks) out.push_back(peak);
  out.push_back(report.threshold);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::vector<ThresholdRow> stats_table(const StatsReport &report,
                                      const std::vector<int32_t> &thresholds) {
  std::vector<ThresholdRow> rows;
  for (int32_t t : thresholds)
    rows.push_back({t, flagged_at(report.spam, t), flagged_at(report.ham, t)});
  return rows;
}

uint64_t stats_match_ns(const StatsReport &report) {
  uint64_t total = 0;
  for (const RuleStat &r : report.rules) total += r.match_ns;
  return total;
}

std::string stats_to_json(const StatsReport &report, const std::vector<int32_t> &thresholds) {
  std::string out = "{\"report\": \"";
  out += kJsonKind;
  out += "\", \"version\": " + std::to_string(kJsonVersion) + ",\n \"report_ids\": [";
  for (size_t i = 0; i < report.report_ids.size(); ++i) {
    out += (i == 0 ? "\"" : ", \"") + report.report_ids[i] + "\"";
  }
  out += "],\n \"rule_file\": ";
  append_json_string(out, report.rule_file);
  out += ", \"sha256\": \"" + report.sha256 + "\",\n \"limits\": {\"max_header_length\": " +
         std::to_string(report.limits.max_header_length) + ", \"max_total_headers_length\": " +
         std::to_string(report.limits.max_total_headers_length) +
         ", \"max_backtracks\": " + std::to_string(report.limits.max_backtracks) +
         "}, \"threshold\": " + std::to_string(report.threshold) +
         ", \"failed\": " + std::to_string(report.failed) +
         ", \"no_header\": " + std::to_string(report.no_header) + ",\n \"spam\": ";
  stats_json_totals(out, report.spam);
  out += ",\n \"ham\": ";
  stats_json_totals(out, report.ham);
  const uint64_t total_ns = stats_match_ns(report);
  out += ",\n \"match_ns\": " + std::to_string(total_ns) + ",\n \"rules\": [";
  for (size_t i = 0; i < report.rules.size(); ++i) {
    const RuleStat &r = report.rules[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"rule\": " + std::to_string(static_cast<uint32_t>(r.rule_id)) +
           ", \"weight\": " + std::to_string(r.weight) + ", \"lines\": " + std::to_string(r.lines) +
           ", \"source_line\": " + std::to_string(r.source_line) + ", \"pattern\": ";
    append_json_string(out, r.pattern);
    out += ", \"spam_hits\": " + std::to_string(r.spam_hits) +
           ", \"spam_rate\": " + stats_ratio(r.spam_hits, report.spam.messages) +
           ", \"ham_hits\": " + std::to_string(r.ham_hits) +
           ", \"ham_rate\": " + stats_ratio(r.ham_hits, report.ham.messages) +
           ", \"spam_share\": " + stats_ratio(r.spam_hits, r.spam_hits + r.ham_hits) +
           ", \"max_backtracks\": " + std::to_string(r.max_backtracks) +
           ", \"limit_lines\": " + std::to_string(r.limit_lines) +
           ", \"stack_lines\": " + std::to_string(r.stack_lines) + ", \"limit_header\": ";
    if (r.has_limit_header) {
      append_json_string(out, r.limit_header);
    } else {
      out += "null";
    }
    out += ", \"match_ns\": " + std::to_string(r.match_ns) +
           ", \"time_share\": " + stats_ratio(r.match_ns, total_ns) + "}";
  }
  out += "],\n \"thresholds\": [";
  const std::vector<ThresholdRow> rows = stats_table(report, thresholds);
  for (size_t i = 0; i < rows.size(); ++i) {
    const ThresholdRow &row = rows[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"threshold\": " + std::to_string(row.threshold) +
           ", \"spam_caught\": " + std::to_string(row.spam_caught) +
           ", \"spam_rate\": " + stats_ratio(row.spam_caught, report.spam.messages) +
           ", \"ham_flagged\": " + std::to_string(row.ham_flagged) +
           ", \"ham_rate\": " + stats_ratio(row.ham_flagged, report.ham.messages) + "}";
  }
  out += "],\n \"flagged_ham\": [";
  for (size_t i = 0; i < report.flagged_ham.size(); ++i) {
    const FlaggedHam &h = report.flagged_ham[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"path\": ";
    append_json_string(out, h.path);
    out += ", \"score\": " + std::to_string(h.score) + ", \"hits\": ";
    stats_json_hits(out, h.hits);
    out += "}";
  }
  out += "]}\n";
  return out;
}

StatsReport stats_from_json(const std::string &text, const std::string &name) {
  return StatsReader{name}.report(text);
}

void stats_merge(StatsReport &into, const StatsReport &from, const std::string &name) {
  if (from.sha256 != into.sha256) {
    throw Failure(name + ": a report of another rule file (SHA-256 " + from.sha256 + ", not " +
                  into.sha256 + "); only reports of the same rules can be merged");
  }
  check_same_limits(into.limits, from.limits, name);
  if (from.threshold != into.threshold) {
    throw Failure(name + ": taken at threshold " + std::to_string(from.threshold) + ", not " +
                  std::to_string(into.threshold));
  }
  if (from.rules.size() != into.rules.size()) {
    throw Failure(name + ": lists " + std::to_string(from.rules.size()) + " rules, not " +
                  std::to_string(into.rules.size()));
  }
  for (size_t i = 0; i < into.rules.size(); ++i) {
    const RuleStat &x = into.rules[i], &y = from.rules[i];
    if (x.rule_id != y.rule_id || x.weight != y.weight || x.lines != y.lines ||
        x.source_line != y.source_line || x.pattern != y.pattern) {
      throw Failure(name + ": rule " + std::to_string(i + 1) + " differs from the first report's");
    }
  }
  // Every sum is worked out on a copy first: a report that cannot be added
  // leaves into as it was.
  StatsReport sum = into;
  add_report_ids(sum.report_ids, from.report_ids, name);
  for (ClassTotals *t : {&sum.spam, &sum.ham}) {
    const ClassTotals &f = t == &sum.spam ? from.spam : from.ham;
    stats_add(t->messages, f.messages, name);
    stats_add(t->always, f.always, name);
    stats_add(t->evaluated, f.evaluated, name);
    stats_add(t->positive, f.positive, name);
    for (const auto &[peak, count] : f.peaks) stats_add(t->peaks[peak], count, name);
  }
  stats_add(sum.failed, from.failed, name);
  stats_add(sum.no_header, from.no_header, name);
  uint64_t total_ns = 0;
  for (size_t i = 0; i < sum.rules.size(); ++i) {
    RuleStat &x = sum.rules[i];
    const RuleStat &y = from.rules[i];
    stats_add(x.spam_hits, y.spam_hits, name);
    stats_add(x.ham_hits, y.ham_hits, name);
    x.max_backtracks = std::max(x.max_backtracks, y.max_backtracks);
    stats_add(x.limit_lines, y.limit_lines, name);
    stats_add(x.stack_lines, y.stack_lines, name);
    if (!x.has_limit_header && y.has_limit_header) {
      x.has_limit_header = true;
      x.limit_header = y.limit_header;
    }
    stats_add(x.match_ns, y.match_ns, name);
    stats_add(total_ns, x.match_ns, name);
  }
  into = std::move(sum);
  into.flagged_ham.insert(into.flagged_ham.end(), from.flagged_ham.begin(), from.flagged_ham.end());
}

void check_same_limits(const EvalLimits &a, const EvalLimits &b, const std::string &name) {
  if (a.max_header_length != b.max_header_length ||
      a.max_total_headers_length != b.max_total_headers_length ||
      a.max_backtracks != b.max_backtracks) {
    throw Failure(name +
                  ": taken with other limits (maxHeaderLength, maxTotalHeadersLength, "
                  "maxBackTracks); merged counts would mean nothing");
  }
}

std::string new_report_id() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Failure("cannot draw a random report ID");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id += kHex[b >> 4];
    id += kHex[b & 15];
  }
  return id;
}

bool is_report_id(const std::string &text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void add_report_ids(std::vector<std::string> &into, const std::vector<std::string> &from,
                    const std::string &name) {
  for (const std::string &id : from) {
    if (std::find(into.begin(), into.end(), id) != into.end()) {
      throw Failure(name + ": report " + id +
                    " is already part of the merge (the same report given twice)");
    }
  }
  into.insert(into.end(), from.begin(), from.end());
}

// stats_so - spam rate / (spam rate + ham rate), normalised by class size
double stats_so(const StatsReport &report, const RuleStat &rule) {
  if (report.spam.messages == 0 || report.ham.messages == 0) return -1;
  const double spam =
      static_cast<double>(rule.spam_hits) / static_cast<double>(report.spam.messages);
  const double ham = static_cast<double>(rule.ham_hits) / static_cast<double>(report.ham.messages);
  return spam + ham > 0 ? spam / (spam + ham) : -1;
}

// stats_precision - the share of spam among the messages a threshold flags
double stats_precision(const ThresholdRow &row) {
  const uint64_t flagged = row.spam_caught + row.ham_flagged;
  return flagged == 0 ? -1 : static_cast<double>(row.spam_caught) / static_cast<double>(flagged);
}

}  // namespace hdrw_cli
