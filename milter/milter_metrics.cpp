// milter_metrics - the milter's Prometheus series (see the header).
// Per-rule counters live in hash segments that are only ever added, by the
// reload thread, and freed with the record: a message counts into a slot
// without a lock and without pinning anything, and a rule kept across a
// reload keeps its slot. The rule file's description (hash, count, the slots
// of its IDs in ID order) is swapped under a mutex that only the reload
// thread and scrapes take. Tests: tests/milter_metrics_test.cpp (escaping,
// buckets) and the Prometheus run (tests/milter_prometheus.py).
#include "milter_metrics.h"

#include <openssl/evp.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "load_rules.h"
#include "module_instance.h"
#include "tlvpr_mem.h"
#include "tvr_status.h"

const uint64_t MILTER_METRICS_BOUNDS_NS[MILTER_METRICS_BUCKETS] = {
    10000,   25000,    50000,    100000,   250000,    500000,    1000000,   2500000,
    5000000, 10000000, 25000000, 50000000, 100000000, 250000000, 500000000, 1000000000};

namespace {

struct MilterRuleSlot {
  int32_t id;                  // rule ID; 0 = empty (a valid rule never has 0)
  std::atomic<uint64_t> hits;  // messages the rule matched
};

struct MilterRuleSegment {
  MilterRuleSegment *next;  // older segment, or null
  uint32_t mask;            // slots - 1 (slots a power of two)
  MilterRuleSlot *slots;    // in the same block, after the record
};

}  // namespace

struct MilterMetrics {
  const MilterStats *stats;                                  // borrowed
  const char *version;                                       // borrowed
  int rule_series;                                           // 1: per-rule counters
  int64_t started;                                           // seconds since 1970
  std::atomic<int> serving;                                  // /healthz answers 200
  std::atomic<uint64_t> bucket[MILTER_METRICS_BUCKETS + 1];  // per bucket, +Inf last
  std::atomic<uint64_t> sum_ns;                              // evaluation time in total
  std::atomic<uint64_t> limit_pairs;                         // pairs that met a match limit
  std::atomic<uint64_t> reloads_ok;           // reloads that kept or renewed the rules
  std::atomic<uint64_t> reloads_failed;       // reloads that failed
  std::atomic<int> last_reload_ok;            // 1 until a reload fails
  std::atomic<int64_t> last_success;          // seconds since 1970
  std::atomic<MilterRuleSegment *> segments;  // newest first; written by the reload thread
  pthread_mutex_t mutex;                      // guards the fields below (reload, scrape)
  char sha256[65];                            // of the rule file; "" when unreadable
  uint32_t rules;                             // rule count
  MilterRuleSlot **current;                   // the rule file's slots in ID order
  uint32_t current_count;                     // entries of current
};

namespace {

// milter_metrics_now - seconds since 1970
int64_t milter_metrics_now() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (int64_t)now.tv_sec;
}

// milter_metrics_hash - slot index of an ID before masking
uint32_t milter_metrics_hash(int32_t id) { return (uint32_t)id * 0x9E3779B1u; }

// milter_metrics_find - the slot of an ID in any segment, or null
MilterRuleSlot *milter_metrics_find(MilterRuleSegment *segment, int32_t id) {
  for (; segment != nullptr; segment = segment->next) {
    for (uint32_t i = milter_metrics_hash(id) & segment->mask;; i = (i + 1) & segment->mask) {
      if (segment->slots[i].id == id) return &segment->slots[i];
      if (segment->slots[i].id == 0) break;
    }
  }
  return nullptr;
}

// milter_metrics_compare_ids - qsort order of rule IDs
int milter_metrics_compare_ids(const void *a, const void *b) {
  int32_t x = *(const int32_t *)a;
  int32_t y = *(const int32_t *)b;
  return x < y ? -1 : x > y;
}

// milter_metrics_sha256 - the file's SHA-256 as 64 hex digits; "" when unreadable
void milter_metrics_sha256(const char *path, char out[65]) {
  out[0] = '\0';
  FILE *file = path != nullptr ? fopen(path, "rbe") : nullptr;
  if (file == nullptr) return;
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
  unsigned char buffer[16384];
  size_t got;
  while (ok && (got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    ok = EVP_DigestUpdate(ctx, buffer, got) == 1;
  }
  ok = ok && !ferror(file);
  unsigned char digest[32];
  unsigned int size = 0;
  if (ok && EVP_DigestFinal_ex(ctx, digest, &size) == 1 && size == sizeof digest) {
    for (unsigned i = 0; i < size; ++i) snprintf(out + 2 * i, 3, "%02x", digest[i]);
  }
  EVP_MD_CTX_free(ctx);
  fclose(file);
}

// milter_metrics_add_slots - a new segment for the IDs no segment has yet
uint32_t milter_metrics_add_slots(MilterMetrics *metrics, const int32_t *ids, uint32_t count) {
  MilterRuleSegment *head = metrics->segments.load(std::memory_order_relaxed);
  uint32_t missing = 0;
  for (uint32_t i = 0; i < count; ++i) missing += milter_metrics_find(head, ids[i]) == nullptr;
  if (missing == 0) return 0;
  uint32_t room = 16;
  while (room < 2 * missing) room *= 2;
  MilterRuleSegment *segment = (MilterRuleSegment *)tlvpr_calloc(
      1, sizeof(MilterRuleSegment) + (size_t)room * sizeof(MilterRuleSlot));
  if (segment == nullptr) return TVR_NO_MEMORY;
  segment->mask = room - 1;
  segment->slots = (MilterRuleSlot *)(segment + 1);
  for (uint32_t i = 0; i < count; ++i) {
    if (milter_metrics_find(head, ids[i]) != nullptr) continue;
    uint32_t at = milter_metrics_hash(ids[i]) & segment->mask;
    while (segment->slots[at].id != 0) at = (at + 1) & segment->mask;
    segment->slots[at].id = ids[i];
  }
  segment->next = head;
  metrics->segments.store(segment, std::memory_order_release);
  return 0;
}

// MilterText - a growing text on the tlvpr heap
struct MilterText {
  char *bytes;
  size_t length;
  size_t room;
  bool failed;
};

// milter_text_add - appends formatted text; marks the text failed when it cannot grow
__attribute__((format(printf, 2, 3))) void milter_text_add(MilterText *text, const char *format,
                                                           ...) {
  if (text->failed) return;
  for (;;) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text->bytes + text->length, text->room - text->length, format, args);
    va_end(args);
    if (n < 0) {
      text->failed = true;
      return;
    }
    if ((size_t)n < text->room - text->length) {
      text->length += (size_t)n;
      return;
    }
    size_t room = text->room * 2 + (size_t)n;
    char *grown = (char *)tlvpr_realloc(text->bytes, room);
    if (grown == nullptr) {
      text->failed = true;
      return;
    }
    text->bytes = grown;
    text->room = room;
  }
}

// milter_text_head - the HELP and TYPE lines of a series
void milter_text_head(MilterText *text, const char *name, const char *type, const char *help) {
  milter_text_add(text, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

}  // namespace

// milter_metrics_escape - a label value with \, " and LF escaped
size_t milter_metrics_escape(const char *text, char *out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  size_t pos = 0;
  for (const char *p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    const char *put = *p == '\\' ? "\\\\" : *p == '"' ? "\\\"" : *p == '\n' ? "\\n" : nullptr;
    size_t need = put != nullptr ? 2 : 1;
    if (pos + need >= size) break;
    if (put != nullptr) {
      memcpy(out + pos, put, 2);
    } else {
      out[pos] = *p;
    }
    pos += need;
  }
  out[pos] = '\0';
  return pos;
}

// milter_metrics_bucket - the first bucket whose bound holds the value
uint32_t milter_metrics_bucket(uint64_t nanoseconds) {
  uint32_t b = 0;
  while (b < MILTER_METRICS_BUCKETS && nanoseconds > MILTER_METRICS_BOUNDS_NS[b]) ++b;
  return b;
}

// milter_metrics_create - an empty record
uint32_t milter_metrics_create(MilterMetrics **metrics, const MilterStats *stats, int rule_series,
                               const char *version) {
  if (metrics == nullptr || stats == nullptr || version == nullptr) return TVR_BAD_ARGUMENT;
  MilterMetrics *made = (MilterMetrics *)tlvpr_calloc(1, sizeof(MilterMetrics));
  if (made == nullptr) return TVR_NO_MEMORY;
  if (pthread_mutex_init(&made->mutex, nullptr) != 0) {
    tlvpr_free(made);
    return TVR_NO_MEMORY;
  }
  made->stats = stats;
  made->version = version;
  made->rule_series = rule_series;
  made->started = milter_metrics_now();
  *metrics = made;
  return 0;
}

// milter_metrics_free - the record, its segments and description
void milter_metrics_free(MilterMetrics *metrics) {
  if (metrics == nullptr) return;
  MilterRuleSegment *segment = metrics->segments.load(std::memory_order_relaxed);
  while (segment != nullptr) {
    MilterRuleSegment *next = segment->next;
    tlvpr_free(segment);
    segment = next;
  }
  tlvpr_free(metrics->current);
  pthread_mutex_destroy(&metrics->mutex);
  tlvpr_free(metrics);
}

// milter_metrics_evaluated - one evaluation into the histogram and counters
void milter_metrics_evaluated(MilterMetrics *metrics, uint64_t nanoseconds,
                              const HdrwVerdict *verdict, uint32_t limit_pairs) {
  if (metrics == nullptr) return;
  metrics->bucket[milter_metrics_bucket(nanoseconds)].fetch_add(1, std::memory_order_relaxed);
  metrics->sum_ns.fetch_add(nanoseconds, std::memory_order_relaxed);
  if (limit_pairs > 0) metrics->limit_pairs.fetch_add(limit_pairs, std::memory_order_relaxed);
  if (!metrics->rule_series || verdict == nullptr) return;
  MilterRuleSegment *head = metrics->segments.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < verdict->hit_count; ++i) {
    MilterRuleSlot *slot = milter_metrics_find(head, verdict->hits[i].rule_id);
    if (slot != nullptr) slot->hits.fetch_add(1, std::memory_order_relaxed);
  }
}

// milter_metrics_rules - describes the rule file of an instance now in service
uint32_t milter_metrics_rules(MilterMetrics *metrics, const void *instance) {
  if (metrics == nullptr || instance == nullptr) return TVR_BAD_ARGUMENT;
  const ModuleInstance *module = (const ModuleInstance *)instance;
  char sha256[65];
  milter_metrics_sha256(module->rule_file_path, sha256);
  uint32_t lines = 0;
  uint32_t rules = 0;
  const RuleLine *first = module->rule_base != nullptr ? module->rule_base->first : nullptr;
  for (const RuleLine *line = first; line != nullptr; line = line->next) {
    ++lines;
    if (!(line->rule_type == RULE_TYPE_MULTI && line->conjunction == RULE_CONJ_MORE)) ++rules;
  }
  int32_t *ids = nullptr;
  MilterRuleSlot **slots = nullptr;
  uint32_t count = 0;
  if (metrics->rule_series && lines > 0) {
    ids = (int32_t *)tlvpr_malloc((size_t)lines * sizeof(int32_t));
    slots = (MilterRuleSlot **)tlvpr_malloc((size_t)lines * sizeof(MilterRuleSlot *));
    if (ids == nullptr || slots == nullptr) {
      tlvpr_free(ids);
      tlvpr_free(slots);
      return TVR_NO_MEMORY;
    }
    for (const RuleLine *line = first; line != nullptr; line = line->next) {
      ids[count++] = line->rule_id;
    }
    qsort(ids, count, sizeof(int32_t), milter_metrics_compare_ids);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (ids[i] != 0 && (kept == 0 || ids[kept - 1] != ids[i])) ids[kept++] = ids[i];
    }
    count = kept;
    if (milter_metrics_add_slots(metrics, ids, count) != 0) {
      tlvpr_free(ids);
      tlvpr_free(slots);
      return TVR_NO_MEMORY;
    }
    MilterRuleSegment *head = metrics->segments.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < count; ++i) slots[i] = milter_metrics_find(head, ids[i]);
    tlvpr_free(ids);
  }
  pthread_mutex_lock(&metrics->mutex);
  MilterRuleSlot **old = metrics->current;
  memcpy(metrics->sha256, sha256, sizeof sha256);
  metrics->rules = rules;
  metrics->current = slots;
  metrics->current_count = count;
  pthread_mutex_unlock(&metrics->mutex);
  tlvpr_free(old);
  metrics->last_reload_ok.store(1, std::memory_order_relaxed);
  metrics->last_success.store(milter_metrics_now(), std::memory_order_relaxed);
  return 0;
}

// milter_metrics_reloaded - counts a reload and sets the gauges
void milter_metrics_reloaded(MilterMetrics *metrics, int ok) {
  if (metrics == nullptr) return;
  if (!ok) {
    metrics->reloads_failed.fetch_add(1, std::memory_order_relaxed);
    metrics->last_reload_ok.store(0, std::memory_order_relaxed);
    return;
  }
  metrics->reloads_ok.fetch_add(1, std::memory_order_relaxed);
  metrics->last_reload_ok.store(1, std::memory_order_relaxed);
  metrics->last_success.store(milter_metrics_now(), std::memory_order_relaxed);
}

// milter_metrics_serving - what /healthz answers
void milter_metrics_serving(MilterMetrics *metrics, int on) {
  if (metrics != nullptr) metrics->serving.store(on ? 1 : 0, std::memory_order_relaxed);
}

// milter_metrics_is_serving - 1 while a rule instance serves
int milter_metrics_is_serving(const MilterMetrics *metrics) {
  return metrics != nullptr && metrics->serving.load(std::memory_order_relaxed);
}

// milter_metrics_format - every series as Prometheus text
uint32_t milter_metrics_format(MilterMetrics *metrics, char **text, size_t *length) {
  if (metrics == nullptr || text == nullptr || length == nullptr) return TVR_BAD_ARGUMENT;
  MilterText out = {(char *)tlvpr_malloc(4096), 0, 4096, false};
  if (out.bytes == nullptr) return TVR_NO_MEMORY;
  out.bytes[0] = '\0';
  const MilterStats *stats = metrics->stats;
  auto get = [stats](enum MilterStat which) {
    return (unsigned long long)milter_stats_get(stats, which);
  };

  milter_text_head(&out, "hdrweights_messages_total", "counter", "Messages answered, by result.");
  const struct {
    const char *label;
    enum MilterStat stat;
  } results[] = {{"spam", MILTER_STAT_SPAM},
                 {"ham", MILTER_STAT_HAM},
                 {"skipped", MILTER_STAT_SKIPPED},
                 {"error", MILTER_STAT_ERRORS}},
    actions[] = {{"reject", MILTER_STAT_REJECTED},
                 {"tempfail", MILTER_STAT_TEMPFAILED},
                 {"hold", MILTER_STAT_HELD},
                 {"discard", MILTER_STAT_DISCARDED},
                 {"tag", MILTER_STAT_TAGGED}};
  for (const auto &r : results) {
    milter_text_add(&out, "hdrweights_messages_total{result=\"%s\"} %llu\n", r.label, get(r.stat));
  }
  milter_text_head(&out, "hdrweights_actions_total", "counter", "What was done with spam.");
  for (const auto &a : actions) {
    milter_text_add(&out, "hdrweights_actions_total{action=\"%s\"} %llu\n", a.label, get(a.stat));
  }

  milter_text_head(&out, "hdrweights_evaluation_seconds", "histogram",
                   "Module evaluation time per message.");
  uint64_t cumulative = 0;
  for (uint32_t b = 0; b <= MILTER_METRICS_BUCKETS; ++b) {
    cumulative += metrics->bucket[b].load(std::memory_order_relaxed);
    if (b < MILTER_METRICS_BUCKETS) {
      milter_text_add(&out, "hdrweights_evaluation_seconds_bucket{le=\"%g\"} %llu\n",
                      (double)MILTER_METRICS_BOUNDS_NS[b] / 1e9, (unsigned long long)cumulative);
    } else {
      milter_text_add(&out, "hdrweights_evaluation_seconds_bucket{le=\"+Inf\"} %llu\n",
                      (unsigned long long)cumulative);
    }
  }
  milter_text_add(&out, "hdrweights_evaluation_seconds_sum %.9f\n",
                  (double)metrics->sum_ns.load(std::memory_order_relaxed) / 1e9);
  milter_text_add(&out, "hdrweights_evaluation_seconds_count %llu\n",
                  (unsigned long long)cumulative);

  milter_text_head(&out, "hdrweights_backtrack_limit_total", "counter",
                   "(rule, header line) pairs that met the backtrack or stack limit.");
  milter_text_add(&out, "hdrweights_backtrack_limit_total %llu\n",
                  (unsigned long long)metrics->limit_pairs.load(std::memory_order_relaxed));

  pthread_mutex_lock(&metrics->mutex);
  if (metrics->rule_series) {
    milter_text_head(&out, "hdrweights_rule_hits_total", "counter", "Messages each rule matched.");
    for (uint32_t i = 0; i < metrics->current_count; ++i) {
      const MilterRuleSlot *slot = metrics->current[i];
      milter_text_add(&out, "hdrweights_rule_hits_total{rule=\"%d\"} %llu\n", (int)slot->id,
                      (unsigned long long)slot->hits.load(std::memory_order_relaxed));
    }
  }
  milter_text_head(&out, "hdrweights_rules_info", "gauge",
                   "The rule file in service: SHA-256 as stored and rule count.");
  milter_text_add(&out, "hdrweights_rules_info{sha256=\"%s\",rules=\"%u\"} 1\n", metrics->sha256,
                  (unsigned)metrics->rules);
  pthread_mutex_unlock(&metrics->mutex);

  milter_text_head(&out, "hdrweights_config_last_reload_successful", "gauge",
                   "Whether the last reload succeeded (1) or failed (0).");
  milter_text_add(&out, "hdrweights_config_last_reload_successful %d\n",
                  metrics->last_reload_ok.load(std::memory_order_relaxed));
  milter_text_head(&out, "hdrweights_config_last_reload_success_timestamp_seconds", "gauge",
                   "When the rules last went into service or were found unchanged.");
  milter_text_add(&out, "hdrweights_config_last_reload_success_timestamp_seconds %lld\n",
                  (long long)metrics->last_success.load(std::memory_order_relaxed));
  milter_text_head(&out, "hdrweights_reloads_total", "counter", "Reloads, by result.");
  milter_text_add(&out, "hdrweights_reloads_total{result=\"ok\"} %llu\n",
                  (unsigned long long)metrics->reloads_ok.load(std::memory_order_relaxed));
  milter_text_add(&out, "hdrweights_reloads_total{result=\"failed\"} %llu\n",
                  (unsigned long long)metrics->reloads_failed.load(std::memory_order_relaxed));

  // Closed before opened: the difference never goes below 0.
  unsigned long long closed = get(MILTER_STAT_CONNECTIONS_CLOSED);
  unsigned long long opened = get(MILTER_STAT_CONNECTIONS_OPENED);
  milter_text_head(&out, "hdrweights_connections", "gauge", "Open MTA connections.");
  milter_text_add(&out, "hdrweights_connections %llu\n", opened - closed);

  char version[128];
  milter_metrics_escape(metrics->version, version, sizeof version);
  milter_text_head(&out, "hdrweights_build_info", "gauge", "The milter's version.");
  milter_text_add(&out, "hdrweights_build_info{version=\"%s\"} 1\n", version);
  milter_text_head(&out, "process_start_time_seconds", "gauge",
                   "Start time of the process since unix epoch in seconds.");
  milter_text_add(&out, "process_start_time_seconds %lld\n", (long long)metrics->started);

  if (out.failed) {
    tlvpr_free(out.bytes);
    return TVR_NO_MEMORY;
  }
  *text = out.bytes;
  *length = out.length;
  return 0;
}
