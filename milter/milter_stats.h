// milter_stats - the milter's counters and its evaluation latency since start
//
// MilterStats is a record of relaxed atomic counters; any number of threads may
// count at once (milter_stats_count, milter_stats_latency) while another reads
// a snapshot (milter_stats_format). Nothing is allocated or logged.
//
// Counters (MILTER_STAT_*): messages (every message that reached its end and
// was answered), of which spam, ham (evaluated, not spam), skipped
// (authenticated or trusted client) and errors (the module or the host failed
// on the message, which then passes as not spam) add up to messages; rejected,
// tempfailed, held and discarded count the actions taken on spam (tag counts
// none); aborted counts messages the MTA abandoned before their end.
// tagged counts the spam that was only tagged; connections_opened and
// connections_closed count MTA connections (their difference is those open).
// These three are not in the log line. metrics, when not null, is where the
// mail path also feeds the Prometheus series (milter_metrics.h).
//
// Latency: milter_stats_latency(stats, nanoseconds) records one evaluation.
// Values go into buckets of 1/16 of a power of two, so a percentile is exact to
// within 6.25%: milter_stats_percentile(stats, permille) is the upper bound of
// the bucket holding that rank (500 = median, 990 = p99), in nanoseconds; 0
// when nothing was recorded. The maximum is kept exactly.
//
// milter_stats_format(stats, out, size) writes one line:
// "messages=N spam=N ham=N skipped=N errors=N rejected=N tempfailed=N held=N
// discarded=N aborted=N latency p50=X p99=X max=X" with latencies in
// microseconds to one decimal ("0.0us" when nothing was recorded). The text
// is cut to size and terminated (size 0 writes nothing).
#ifndef MILTER_MILTER_STATS_H
#define MILTER_MILTER_STATS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <atomic>
#define MILTER_ATOMIC_U64 std::atomic<uint64_t>
#else
#include <stdatomic.h>
#define MILTER_ATOMIC_U64 _Atomic uint64_t
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum MilterStat {
  MILTER_STAT_MESSAGES,
  MILTER_STAT_SPAM,
  MILTER_STAT_HAM,
  MILTER_STAT_SKIPPED,
  MILTER_STAT_ERRORS,
  MILTER_STAT_REJECTED,
  MILTER_STAT_TEMPFAILED,
  MILTER_STAT_HELD,
  MILTER_STAT_DISCARDED,
  MILTER_STAT_ABORTED,
  MILTER_STAT_TAGGED,
  MILTER_STAT_CONNECTIONS_OPENED,
  MILTER_STAT_CONNECTIONS_CLOSED,
  MILTER_STAT_COUNT
};

enum {
  MILTER_STATS_SUB = 16,                        // buckets per power of two
  MILTER_STATS_BUCKETS = 64 * MILTER_STATS_SUB  // covers every 64-bit value
};

typedef struct MilterStats {
  MILTER_ATOMIC_U64 counter[MILTER_STAT_COUNT];    // by MilterStat
  MILTER_ATOMIC_U64 bucket[MILTER_STATS_BUCKETS];  // latency histogram
  MILTER_ATOMIC_U64 latency_count;                 // evaluations recorded
  MILTER_ATOMIC_U64 latency_max;                   // longest, nanoseconds
  struct MilterMetrics *metrics;                   // Prometheus series fed too; null = none
} MilterStats;

void milter_stats_count(MilterStats *stats, enum MilterStat which);
uint64_t milter_stats_get(const MilterStats *stats, enum MilterStat which);
void milter_stats_latency(MilterStats *stats, uint64_t nanoseconds);
uint64_t milter_stats_percentile(const MilterStats *stats, uint32_t permille);
void milter_stats_format(const MilterStats *stats, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
