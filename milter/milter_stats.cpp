// milter_stats - counters and the latency histogram (see the header).
// A value v lands in bucket 16*e + m, where e is the position of its highest
// set bit and m the next four bits below it (values under 16 land in their own
// bucket). Tests: tests/milter_test.cpp.
#include "milter_stats.h"

#include <stdio.h>

namespace {

// milter_stats_bucket - the histogram bucket of a value
uint32_t milter_stats_bucket(uint64_t v) {
  if (v < MILTER_STATS_SUB) return (uint32_t)v;
  uint32_t e = 63 - (uint32_t)__builtin_clzll(v);  // e >= 4
  uint32_t m = (uint32_t)(v >> (e - 4)) & (MILTER_STATS_SUB - 1);
  return (e - 3) * MILTER_STATS_SUB + m;
}

// milter_stats_bucket_top - the largest value that lands in a bucket
uint64_t milter_stats_bucket_top(uint32_t bucket) {
  if (bucket < MILTER_STATS_SUB) return bucket;
  uint32_t e = bucket / MILTER_STATS_SUB + 3;
  uint64_t m = bucket % MILTER_STATS_SUB;
  uint64_t low = (MILTER_STATS_SUB + m) << (e - 4);
  return low + ((uint64_t)1 << (e - 4)) - 1;
}

}  // namespace

// milter_stats_count - adds one to a counter
void milter_stats_count(MilterStats *stats, enum MilterStat which) {
  stats->counter[which].fetch_add(1, std::memory_order_relaxed);
}

// milter_stats_get - a counter's value
uint64_t milter_stats_get(const MilterStats *stats, enum MilterStat which) {
  return stats->counter[which].load(std::memory_order_relaxed);
}

// milter_stats_latency - records one evaluation's duration
void milter_stats_latency(MilterStats *stats, uint64_t nanoseconds) {
  stats->bucket[milter_stats_bucket(nanoseconds)].fetch_add(1, std::memory_order_relaxed);
  stats->latency_count.fetch_add(1, std::memory_order_relaxed);
  uint64_t seen = stats->latency_max.load(std::memory_order_relaxed);
  while (nanoseconds > seen &&
         !stats->latency_max.compare_exchange_weak(seen, nanoseconds, std::memory_order_relaxed)) {
  }
}

// milter_stats_percentile - upper bound of the bucket holding a rank
uint64_t milter_stats_percentile(const MilterStats *stats, uint32_t permille) {
  // The buckets are summed, not latency_count: a snapshot taken while threads
  // record must still find its rank inside the buckets it read.
  uint64_t total = 0;
  for (uint32_t b = 0; b < MILTER_STATS_BUCKETS; ++b)
    total += stats->bucket[b].load(std::memory_order_relaxed);
  if (total == 0) return 0;
  uint64_t rank = (total * permille + 999) / 1000;  // 1-based rank, rounded up
  if (rank == 0) rank = 1;
  uint64_t seen = 0;
  for (uint32_t b = 0; b < MILTER_STATS_BUCKETS; ++b) {
    seen += stats->bucket[b].load(std::memory_order_relaxed);
    if (seen >= rank) {
      uint64_t top = milter_stats_bucket_top(b);
      uint64_t max = stats->latency_max.load(std::memory_order_relaxed);
      return top < max || max == 0 ? top : max;
    }
  }
  return stats->latency_max.load(std::memory_order_relaxed);
}

// milter_stats_format - the counters and latencies as one line
void milter_stats_format(const MilterStats *stats, char *out, size_t size) {
  if (out == nullptr || size == 0) return;
  auto us = [](uint64_t ns) { return (double)ns / 1000.0; };
  // The C library's formatter: the counters are 64 bits wide.
  snprintf(out, size,
           "messages=%llu spam=%llu ham=%llu skipped=%llu errors=%llu rejected=%llu "
           "tempfailed=%llu held=%llu discarded=%llu aborted=%llu latency p50=%.1fus "
           "p99=%.1fus max=%.1fus",
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_MESSAGES),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_SPAM),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_HAM),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_SKIPPED),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_ERRORS),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_REJECTED),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_TEMPFAILED),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_HELD),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_DISCARDED),
           (unsigned long long)milter_stats_get(stats, MILTER_STAT_ABORTED),
           us(milter_stats_percentile(stats, 500)), us(milter_stats_percentile(stats, 990)),
           us(stats->latency_max.load(std::memory_order_relaxed)));
}
