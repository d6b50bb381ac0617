// rule_stats - what a corpus says about each rule of a rule file, and its JSON
//
// A StatsReport holds raw counts only (rates are worked out when shown), so
// that reports of the same rule file taken on different shards of a corpus add
// up to the report of the whole corpus.
//
// Rules. A rule is a single-line rule, or the lines of a multi-line rule up to
// and including its "&." line (a line of an unterminated group ends the list
// as a rule of its own that cannot hit). stats_rules(rules) lists them in
// rule-base order, with rule_of_line mapping each rule line to its rule.
//
// Messages. stats_facts(rule_of_line, trace, is_spam, display, threshold)
// takes what a report needs from one message's threshold-0 trace, where the
// message was evaluated (any thread): its class and kind, whether its total
// with every rule run is above 0, its highest running total, the rules that
// hit, every match that met the backtrack limit or the stack limit (with its
// header line cut to 80 characters), and, for a ham message that the threshold
// flags, the hits the module reports at that threshold. stats_add_facts(report,
// facts) counts them, in corpus order (the first limit line of a rule is the
// first in that order). Costs (matching time per rule line, most backtracks
// per rule) add up in any order: stats_add_costs(costs, rule_of_line, trace)
// per thread, stats_add_costs_to_report(report, costs, ns_per_tick) at the end.
//
// Thresholds. flagged_at(totals, threshold) is how many messages of a class
// the module judges spam at that threshold; stats_thresholds(report) lists
// every positive total at which a message first reaches a threshold (the
// points where the curve steps), and the report's threshold, ascending.
//
// JSON. stats_to_json(report, thresholds) writes one object with the raw
// counts, the rates and the threshold table; stats_from_json(text, name) reads
// back exactly that (the derived figures are checked for form and recomputed)
// and throws Failure naming the file and the fault otherwise. stats_merge(into,
// from, name) adds a report taken on another shard; it throws Failure when the
// rule text (SHA-256), the rules, the limits or the threshold differ. The first
// limit line of a rule stays the one of the earlier report.
#ifndef TOOLS_RULE_STATS_H
#define TOOLS_RULE_STATS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hdrw_host.h"
#include "rule_source.h"
#include "rule_trace.h"

namespace hdrw_cli {

constexpr size_t kLimitLineCut = 80;  // characters kept of a header line shown

struct ClassTotals {
  uint64_t messages = 0;   // messages of the class judged (read and given to the module)
  uint64_t always = 0;     // judged spam unread: header block over maxTotalHeadersLength
  uint64_t evaluated = 0;  // messages the rules ran on
  uint64_t positive = 0;   // evaluated messages whose total with every rule run is above 0
  std::map<int32_t, uint64_t> peaks;  // evaluated messages by highest running total (> 0 only)
};

struct RuleStat {
  int32_t rule_id = 0;       // the "&." line's ID for a multi-line rule
  int32_t weight = 0;        // the weight that counts
  uint32_t lines = 1;        // rule lines it has
  uint64_t source_line = 0;  // source line of its first line
  std::string pattern;       // pattern of its first line
  uint64_t spam_hits = 0;
  uint64_t ham_hits = 0;
  uint64_t max_backtracks = 0;  // most backtracks of one match (the limit for a match that met it)
  uint64_t limit_lines = 0;     // matches that met the backtrack limit
  uint64_t stack_lines = 0;     // matches that met the stack limit
  bool has_limit_header = false;
  std::string limit_header;  // the first header line of those, cut to 80 characters
  uint64_t match_ns = 0;     // time of its matches
};

struct FlaggedHam {
  std::string path;
  int32_t score = 0;
  std::vector<HdrwHit> hits;
};

struct StatsReport {
  std::string rule_file;  // as named where the report was taken
  std::string sha256;     // of the plain rule text
  EvalLimits limits;
  int32_t threshold = 100;
  ClassTotals spam, ham;
  uint64_t failed = 0;  // messages or files that could not be read
  std::vector<RuleStat> rules;
  std::vector<FlaggedHam> flagged_ham;
};

struct ThresholdRow {
  int32_t threshold;
  uint64_t spam_caught;
  uint64_t ham_flagged;
};

struct LimitEvent {
  uint32_t rule;       // the rule whose line met the limit
  int result;          // REGX_ETOOMANY or REGX_ESTACK
  std::string header;  // the header line, cut to 80 characters
};

struct MessageFacts {
  bool is_spam = false;
  TraceKind kind = TRACE_EVALUATED;
  bool positive = false;  // total with every rule run is above 0
  int32_t peak = 0;       // highest running total
  std::vector<uint32_t> hit_rules;
  std::vector<LimitEvent> limits;
  bool flagged_ham = false;  // a ham message the threshold flags; ham then set
  FlaggedHam ham;
};

struct RuleCosts {
  std::vector<uint64_t> ticks;           // per rule line
  std::vector<uint64_t> max_backtracks;  // per rule
};

std::vector<RuleStat> stats_rules(const LoadedRules &rules, std::vector<uint32_t> &rule_of_line);
MessageFacts stats_facts(const std::vector<uint32_t> &rule_of_line, const MessageTrace &trace,
                         bool is_spam, const std::string &display, int32_t threshold);
void stats_add_facts(StatsReport &report, const MessageFacts &facts);
void stats_add_costs(RuleCosts &costs, const std::vector<uint32_t> &rule_of_line,
                     const MessageTrace &trace);
void stats_add_costs_to_report(StatsReport &report, const std::vector<uint32_t> &rule_of_line,
                               const RuleCosts &costs, double ns_per_tick);
uint64_t flagged_at(const ClassTotals &totals, int32_t threshold);
std::vector<int32_t> stats_thresholds(const StatsReport &report);
std::vector<ThresholdRow> stats_table(const StatsReport &report,
                                      const std::vector<int32_t> &thresholds);
uint64_t stats_match_ns(const StatsReport &report);
// stats_so(report, rule): the rule's spam rate over the sum of its spam and ham
// rates (1 hits only spam, 0.5 hits both classes alike whatever their sizes,
// 0 only ham); -1 when it hit nothing or a class has no message.
// stats_precision(row): spam flagged over all messages flagged; -1 for none.
double stats_so(const StatsReport &report, const RuleStat &rule);
double stats_precision(const ThresholdRow &row);

std::string stats_to_json(const StatsReport &report, const std::vector<int32_t> &thresholds);
StatsReport stats_from_json(const std::string &text, const std::string &name);
void stats_merge(StatsReport &into, const StatsReport &from, const std::string &name);

}  // namespace hdrw_cli

#endif
