// rule_trace - traced evaluation of one message (contract in rule_trace.h)
//
// The engine runs the walk; this unit only watches its matcher calls. What a
// rule line did is read back from the calls by the walk's own rules (a line's
// search ends at its first answer other than "no match"; a failed line of a
// multi-line rule skips the rest of the rule; a positive threshold ends the walk
// once the total reaches it), and that reading is held against the engine's hit
// list and verdict on every message. (tested in tests/cli_test.cpp)
#include "rule_trace.h"

#include <chrono>
#include <new>

#include "cli_texts.h"
#include "kelh_engine.h"
#include "regx.h"
#include "tlvpr_mem.h"
#include "tvr_status.h"
#include "tvrshareddata.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace hdrw_cli {
namespace {

struct TraceContext {
  MessageTrace *trace;
  const char *base;  // the unfolded copy the engine works on
  bool timed;
  bool failed;     // a try could not be recorded
  bool disagreed;  // the counted match answered otherwise than the module's call
};

// trace_match - the module's match of one rule line on one header line, seen
//
// Runs inside the engine's walk with the line's lock held: it must not throw.
int trace_match(void *context, RuleLine *line, uint32_t index, char *text, uint32_t length,
                uint32_t max_backtracks) {
  TraceContext &c = *static_cast<TraceContext *>(context);
  // The line-end byte after the line is the subject's NUL for the calls.
  const char saved = text[length];
  text[length] = '\0';
  const uint64_t start = c.timed ? cheap_clock_ticks() : 0;
  const int result = regx_exec(&line->pattern, text, max_backtracks, nullptr, 0);
  const uint64_t ticks = c.timed ? cheap_clock_ticks() - start : 0;
  uint32_t count = 0;
  const int counted = regx_exec(&line->pattern, text, max_backtracks, &count, 0);
  text[length] = saved;
  if (counted != result) c.disagreed = true;
  uint32_t backtracks = 0;
  if (result == REGX_OK || result == REGX_NOMATCH) {
    backtracks = count;
  } else if (result == REGX_ETOOMANY) {
    backtracks = max_backtracks;
  }
  try {
    c.trace->tries.push_back(
        {index, static_cast<uint32_t>(text - c.base), length, result, backtracks, ticks});
  } catch (const std::bad_alloc &) {
    c.failed = true;
  }
  return result;
}

// trace_add - the engine's wrapping addition of a weight to the total
int32_t trace_add(int32_t total, int32_t weight) {
  return static_cast<int32_t>(static_cast<uint32_t>(total) + static_cast<uint32_t>(weight));
}

[[noreturn]] void trace_disagrees(const LoadedRules &rules, size_t line, const std::string &what) {
  std::string where = line < rules.lines.size() ? " at " + rules.name + ":" +
                                                      std::to_string(rules.lines[line].source_line)
                                                : "";
  throw Failure("internal error: the traced walk disagrees with the engine" + where + ": " + what);
}

// trace_outcomes - what each rule line did, read from the tries
void trace_outcomes(const LoadedRules &rules, int32_t threshold, MessageTrace &t) {
  const size_t n = rules.lines.size();
  t.outcomes.assign(n, LineOutcome{});
  std::vector<size_t> last(n, SIZE_MAX);
  for (size_t k = 0; k < t.tries.size(); ++k) {
    if (k > 0 && t.tries[k].line < t.tries[k - 1].line) {
      trace_disagrees(rules, t.tries[k].line, "rule lines tried out of order");
    }
    last[t.tries[k].line] = k;
  }
  int32_t total = 0;
  bool group_failed = false;
  for (size_t i = 0; i < n; ++i) {
    const RuleLine *line = rules.lines[i].line;
    LineOutcome &o = t.outcomes[i];
    if (threshold != 0 && !(total < threshold)) {
      t.stopped_before = static_cast<int64_t>(i);
      for (size_t j = i; j < n; ++j) {
        if (last[j] != SIZE_MAX) trace_disagrees(rules, j, "a line after the stop was tried");
        t.outcomes[j].total = total;
      }
      break;
    }
    if (line->rule_type == RULE_TYPE_MULTI && group_failed) {
      if (last[i] != SIZE_MAX) trace_disagrees(rules, i, "a skipped line was tried");
      o.state = LINE_SKIPPED;
    } else {
      o.result = last[i] == SIZE_MAX ? REGX_NOMATCH : t.tries[last[i]].result;
      if (o.result != REGX_OK) {
        if (line->rule_type == RULE_TYPE_MULTI) group_failed = true;
        o.state = last[i] == SIZE_MAX ? LINE_NO_HEADER : LINE_NO_MATCH;
      } else if (line->rule_type == RULE_TYPE_SINGLE || line->conjunction == RULE_CONJ_LAST) {
        o.state = LINE_HIT;
        total = trace_add(total, line->weight);
        t.hit_lines.push_back(static_cast<uint32_t>(i));
      } else {
        o.state = LINE_MATCHED;
      }
    }
    if (line->conjunction == RULE_CONJ_LAST) group_failed = false;
    o.total = total;
  }
  const bool spam = (threshold > 0 && total >= threshold) || (threshold <= 0 && total > threshold);
  if (spam != t.spam) trace_disagrees(rules, SIZE_MAX, "verdict");
  if (t.hit_lines.size() != t.hits.size()) trace_disagrees(rules, SIZE_MAX, "number of hits");
  for (size_t h = 0; h < t.hits.size(); ++h) {
    const RuleLine *line = rules.lines[t.hit_lines[h]].line;
    if (line->rule_id != t.hits[h].rule_id || line->weight != t.hits[h].weight) {
      trace_disagrees(rules, t.hit_lines[h], "hit " + std::to_string(h + 1));
    }
  }
}

struct HitListFree {
  void operator()(RuleHit *hit) const { kelh_free_hits(hit); }
};

}  // namespace

uint64_t cheap_clock_ticks() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
#endif
}

double cheap_clock_ns_per_tick() {
  struct Origin {
    uint64_t ticks = cheap_clock_ticks();
    std::chrono::steady_clock::time_point time = std::chrono::steady_clock::now();
  };
  static const Origin origin;
  const uint64_t ticks = cheap_clock_ticks() - origin.ticks;
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - origin.time)
          .count();
  return ticks == 0 || ns <= 0 ? 1.0 : ns / static_cast<double>(ticks);
}

void trace_message(const LoadedRules &rules, std::string_view header, int32_t threshold, bool timed,
                   MessageTrace &t) {
  t.kind = TRACE_EVALUATED;
  t.status = 0;
  t.failure = 0;
  t.spam = false;
  t.score = 0;
  t.hits.clear();
  t.hit_lines.clear();
  t.tries.clear();
  t.outcomes.clear();
  t.stopped_before = -1;
  t.unfolded.assign(header.data(), header.size());
  const EvalLimits &limits = rules.limits;
  if (header.empty()) {
    t.kind = TRACE_NO_HEADER;
    return;
  }
  if (limits.max_total_headers_length != 0 && header.size() > limits.max_total_headers_length) {
    t.kind = TRACE_TOO_LONG;
    t.spam = true;
    return;
  }
  if (header.size() > UINT32_MAX)
    throw Failure("a header block of 4 GiB or more cannot be evaluated");

  TraceContext context{&t, t.unfolded.data(), timed, false, false};
  RuleHit *hits = nullptr;
  int verdict = 0;
  // The engine logs on this thread; the first error it logs is the message's failure.
  tvr_shared_thread_error = 0;
  const uint32_t rc = kelh_evaluate_with(
      t.unfolded.data(), static_cast<uint32_t>(header.size()), &hits, rules.base.get(), threshold,
      limits.max_header_length, limits.max_backtracks, &verdict, trace_match, &context);
  std::unique_ptr<RuleHit, HitListFree> guard(hits);
  const uint32_t logged = tvr_shared_thread_error;
  if (context.failed) throw std::bad_alloc();
  if (context.disagreed) {
    throw Failure("internal error: a counted match answered otherwise than the module's match");
  }
  if (rc != 0) {
    // The module logs 11009 itself when the engine fails.
    t.kind = TRACE_NOT_EVALUATED;
    t.status = rc;
    t.failure = logged != 0 ? logged : TVR_FILTER_ENGINE_ERROR;
    return;
  }
  t.spam = verdict == 1;
  if (!t.spam) t.failure = logged;
  uint32_t score = 0;
  for (const RuleHit *hit = hits; hit != nullptr; hit = hit->next) {
    t.hits.push_back({hit->rule_id, hit->weight});
    score += static_cast<uint32_t>(hit->weight);
  }
  t.score = static_cast<int32_t>(score);
  trace_outcomes(rules, threshold, t);
}

std::string trace_block(const LoadedRules &rules, const HeaderBlock &block,
                        const HeaderLimit &limit, int32_t threshold, bool timed, MessageTrace &t) {
  if (block.over_limit && limit.ours) {
    trace_message(rules, std::string_view(), threshold, false, t);
    t.kind = TRACE_NOT_EVALUATED;
    return over_limit_reason(limit);
  }
  trace_message(rules, block.bytes, threshold, timed, t);
  return t.failure == 0 ? "" : code_text(t.failure);
}

ThresholdVerdict verdict_at(const MessageTrace &t, int32_t threshold) {
  ThresholdVerdict v;
  if (t.kind == TRACE_TOO_LONG) v.spam = true;
  if (t.kind != TRACE_EVALUATED) return v;
  if (threshold < 0) {
    v.spam = true;
    return v;
  }
  int32_t total = 0;
  for (const HdrwHit &hit : t.hits) {
    if (threshold != 0 && !(total < threshold)) break;
    v.hits.push_back(hit);
    total = trace_add(total, hit.weight);
  }
  v.score = total;
  v.spam = threshold > 0 ? total >= threshold : total > 0;
  return v;
}

int32_t peak_total(const MessageTrace &t) {
  int32_t total = 0, peak = 0;
  for (const HdrwHit &hit : t.hits) {
    total = trace_add(total, hit.weight);
    if (total > peak) peak = total;
  }
  return peak;
}

std::vector<std::pair<uint32_t, uint32_t>> unfolded_lines(std::string_view header) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  if (header.empty() || header.size() > UINT32_MAX) return out;
  std::string copy(header);
  HeaderLine *lines = nullptr;
  if (split_header_lines(copy.data(), static_cast<uint32_t>(copy.size()), &lines) != 0) return out;
  for (const HeaderLine *line = lines; line != nullptr; line = line->next) {
    out.emplace_back(static_cast<uint32_t>(line->text - copy.data()), line->length);
  }
  kelh_free_header_lines(lines);
  return out;
}

}  // namespace hdrw_cli
