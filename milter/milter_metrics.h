// milter_metrics - the milter's series in Prometheus's text format (0.0.4)
//
// A MilterMetrics record sits beside the milter's counters (milter_stats.h,
// which it reads when it formats) and adds what a scraper wants and the log
// line does not carry. Every series name is fixed; dashboards and alerts
// rely on them:
//   hdrweights_messages_total{result="spam|ham|skipped|error"}    counter
//   hdrweights_actions_total{action="reject|tempfail|hold|discard|tag"}  counter
//   hdrweights_evaluation_seconds                                  histogram
//   hdrweights_backtrack_limit_total                               counter
//   hdrweights_rule_hits_total{rule="ID"}                          counter (rule series on)
//   hdrweights_rules_info{sha256="...",rules="N"}                  gauge, 1
//   hdrweights_config_last_reload_successful                       gauge
//   hdrweights_config_last_reload_success_timestamp_seconds        gauge
//   hdrweights_reloads_total{result="ok|failed"}                   counter
//   hdrweights_connections                                         gauge
//   hdrweights_build_info{version="..."}                           gauge, 1
//   process_start_time_seconds                                     gauge
// tag counts the spam that was only tagged (spam minus the other actions).
//
// milter_metrics_create(&metrics, stats, rule_series, version) makes the
// record (stats and version are borrowed and must outlive it); rule_series 1
// keeps a counter per rule ID. Results: 0; 10040 null argument; 10013 no
// memory. milter_metrics_free(metrics) frees it; null is ignored; only when no
// message and no scrape can reach it any more.
//
// Mail path (any number of threads, no lock): milter_metrics_evaluated(
// metrics, nanoseconds, verdict, limit_pairs) records one evaluation: its
// time in the histogram, the (rule, header line) pairs that met a match limit,
// and, with rule series, one hit per rule ID in the verdict. A null metrics
// records nothing. A rule ID no rule file described is not counted; one
// that a reload dropped still counts for messages on the old rules but is no
// longer shown.
//
// Reload thread (one thread, the one that opens and reloads the rules):
// milter_metrics_rules(metrics, instance) takes the rule file of a module
// instance that just went into service (module_instance.h: its path and rule
// base, read only): the SHA-256 of the file as stored, its rule count
// (rule lines except the "&+" lines of multi-line rules) and, with rule
// series, its rule IDs; counters of IDs seen before keep their values. It
// marks the last reload successful, now. Results: 0; 10040 null argument;
// 10013 no memory (the previous rule file stays described); the file not
// readable gives an empty sha256 label. milter_metrics_reloaded(metrics, ok)
// counts a reload (ok 0: failed; the successful gauge becomes 0 until the next
// good one; ok 1 with unchanged rules keeps the description and marks now).
// milter_metrics_serving(metrics, on) sets what /healthz answers.
//
// Scrape (any thread): milter_metrics_format(metrics, &text, &length) writes
// every series, each with its "# HELP" and "# TYPE" lines, into a new
// tlvpr heap block the caller frees with tlvpr_free (terminated; length
// without the terminator). Results: 0; 10040 null argument; 10013 no memory
// (nothing handed out). It takes a lock that only the reload thread also
// takes, never one a message waits on; counters are read one by one, so a
// scrape during traffic is a consistent-enough snapshot (the histogram's
// count is the sum of its own buckets). milter_metrics_is_serving(metrics)
// is 1 while a rule instance serves.
//
// Format helpers, exposed for their tests: milter_metrics_escape(text, out,
// size) writes a label value escaped (backslash, double quote and line feed
// as \\, \" and \n), cut before an escape that would not fit, terminated;
// returns the length written (size 0 writes nothing and returns 0).
// milter_metrics_bucket(nanoseconds) is the index of the first histogram
// bucket whose upper bound (MILTER_METRICS_BOUNDS_NS) is not below the value,
// MILTER_METRICS_BUCKETS for the +Inf bucket alone.
#ifndef MILTER_MILTER_METRICS_H
#define MILTER_MILTER_METRICS_H

#include <stddef.h>
#include <stdint.h>

#include "hdrw_host.h"
#include "milter_stats.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  MILTER_METRICS_BUCKETS = 16  // finite histogram buckets, 10 us to 1 s
};

// Upper bounds of the histogram's buckets in nanoseconds (1, 2.5, 5 steps).
extern const uint64_t MILTER_METRICS_BOUNDS_NS[MILTER_METRICS_BUCKETS];

typedef struct MilterMetrics MilterMetrics;

uint32_t milter_metrics_create(MilterMetrics **metrics, const MilterStats *stats, int rule_series,
                               const char *version);
void milter_metrics_free(MilterMetrics *metrics);
void milter_metrics_evaluated(MilterMetrics *metrics, uint64_t nanoseconds,
                              const HdrwVerdict *verdict, uint32_t limit_pairs);
uint32_t milter_metrics_rules(MilterMetrics *metrics, const void *instance);
void milter_metrics_reloaded(MilterMetrics *metrics, int ok);
void milter_metrics_serving(MilterMetrics *metrics, int on);
int milter_metrics_is_serving(const MilterMetrics *metrics);
uint32_t milter_metrics_format(MilterMetrics *metrics, char **text, size_t *length);
size_t milter_metrics_escape(const char *text, char *out, size_t size);
uint32_t milter_metrics_bucket(uint64_t nanoseconds);

#ifdef __cplusplus
}
#endif

#endif
