// rule_trace - one message evaluated as the module evaluates it, every match seen
//
// trace_message(rules, header, threshold, timed, trace) gives the module's
// answer for a header block (the message's bytes up to and including its first
// empty line) at a weight threshold, and how it came about:
//   - an empty block: no verdict, nothing evaluated (kind TRACE_NO_HEADER);
//   - a block longer than maxTotalHeadersLength (when not 0): "spam" unread
//     (TRACE_TOO_LONG);
//   - a block that yields no header line (text after the last line end, or
//     nothing but deleted bytes): no verdict (TRACE_NOT_EVALUATED, status set);
//   - otherwise the engine's own rule walk (kelh_evaluate_with) runs with a
//     matcher that makes the module's call (regx_exec without a count) and then
//     the same match again with a count, for the backtracks. Every match is a
//     TraceTry; with timed set, the module's call is timed with a cheap clock.
// failure tells, as the reference host does, that the module would leave the
// message unjudged: the code of the first error (level 3 or worse) logged
// while evaluating a message that gets no verdict, or, for a block that yields
// no header line without a log record, the module's own 11009; 0 when judged.
// The verdict and the hits are the engine's. From the tries, outcomes[i] says
// what happened to rule line i (rule-base order) and where a positive threshold
// ended the walk; they are checked against the engine's hits and verdict, and
// a disagreement (or a counted match that answers otherwise than the module's
// call) throws Failure: an explanation that is not the module's is never shown.
// A trace may be reused: each call empties it first.
//
// The header lines are rewritten in a copy of the block; a try names its line
// by offset into that unfolded copy (trace.unfolded), which split_header_lines
// on the same bytes reproduces. Errors of the engine (29001, 10047, 29030) are
// logged by the engine as the module logs them.
//
// verdict_at(trace, threshold) is the module's verdict and hits at another
// threshold, worked out from a trace taken at threshold 0 (every rule run): a
// positive threshold stops the walk at the first hit that brings the running
// total to it, 0 flags a total above 0, and a negative one flags every
// evaluated message without running a rule. peak_total(trace) is the highest
// running total of a threshold-0 trace (0 before any hit), the smallest
// positive threshold that flags it being any value up to it.
//
// Threads: any number of traces may run at once on one LoadedRules.
#ifndef TOOLS_RULE_TRACE_H
#define TOOLS_RULE_TRACE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hdrw_host.h"
#include "message_reader.h"
#include "rule_source.h"

namespace hdrw_cli {

struct TraceTry {
  uint32_t line;           // rule line index, rule-base order
  uint32_t header_offset;  // start of the header line in the unfolded copy
  uint32_t header_length;  // its length
  int result;              // REGX_OK, REGX_NOMATCH or the matcher's error
  uint32_t backtracks;     // the count for results 0 and 1; the limit for 20; 0 otherwise
  uint64_t ticks;          // cheap-clock ticks of the module's call (timed traces only)
};

enum TraceKind { TRACE_EVALUATED, TRACE_NO_HEADER, TRACE_TOO_LONG, TRACE_NOT_EVALUATED };

enum LineState {
  LINE_NOT_RUN,    // the threshold ended the walk before this line
  LINE_SKIPPED,    // an earlier line of its multi-line rule failed
  LINE_NO_HEADER,  // no header line of its name within maxHeaderLength
  LINE_NO_MATCH,   // tried and no line matched (or a matcher error ended it)
  LINE_MATCHED,    // a "&+" line of a multi-line rule matched (adds nothing yet)
  LINE_HIT         // matched and added its weight
};

struct LineOutcome {
  LineState state = LINE_NOT_RUN;
  int result = 1;     // the last try's result (1 when untried)
  int32_t total = 0;  // running total after this line
};

struct MessageTrace {
  TraceKind kind = TRACE_EVALUATED;
  uint32_t status = 0;   // the engine's status for TRACE_NOT_EVALUATED
  uint32_t failure = 0;  // code of the error that leaves the message unjudged; 0 = judged
  bool spam = false;
  int32_t score = 0;                // sum of the hit weights
  std::vector<HdrwHit> hits;        // the engine's hit list
  std::vector<uint32_t> hit_lines;  // rule line of each hit
  std::vector<TraceTry> tries;
  std::vector<LineOutcome> outcomes;  // per rule line (empty unless evaluated)
  int64_t stopped_before = -1;        // rule line before which the threshold ended the walk
  std::string unfolded;               // the header block as the engine rewrote it
};

struct ThresholdVerdict {
  bool spam = false;
  int32_t score = 0;
  std::vector<HdrwHit> hits;
};

void trace_message(const LoadedRules &rules, std::string_view header, int32_t threshold, bool timed,
                   MessageTrace &trace);
// trace_block - trace_message on a header block read with limit
// (message_reader.h): "" when the module judges the message, else the reason
// the reference host shows for leaving it unjudged (a block over the command's
// own ceiling is not evaluated at all; the trace then holds nothing).
std::string trace_block(const LoadedRules &rules, const HeaderBlock &block,
                        const HeaderLimit &limit, int32_t threshold, bool timed,
                        MessageTrace &trace);
ThresholdVerdict verdict_at(const MessageTrace &trace, int32_t threshold);
int32_t peak_total(const MessageTrace &trace);
// unfolded_lines(header) - the header lines of a block as (offset, length) in
// its unfolded copy, the offsets tries name; empty when it yields none
std::vector<std::pair<uint32_t, uint32_t>> unfolded_lines(std::string_view header);
// cheap_clock_ticks - the clock of timed traces; cheap_clock_ns_per_tick - its
// scale, measured against the steady clock between the first call and now
uint64_t cheap_clock_ticks();
double cheap_clock_ns_per_tick();

}  // namespace hdrw_cli

#endif
