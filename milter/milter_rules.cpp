// milter_rules - generations of configuration and module instance (see the
// header). One mutex guards the current pointer and the use counts; it is held
// only to pin, unpin and swap, never while the module initialises or
// evaluates. The current generation holds one use of its own, dropped when it
// is replaced. Tests: tests/milter_test.cpp.
#include "milter_rules.h"

#include <pthread.h>

#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tvr_status.h"

struct MilterGeneration {
  HdrwHost *host;  // owned: the configuration and callback table of instance
  void *instance;  // owned: the module instance
  uint32_t uses;   // pinned messages, plus one while current (guarded by the mutex)
};

struct MilterRules {
  const HdrwPlugin *plugin;   // borrowed
  char *load_point;           // owned copy
  char *config_path;          // owned copy
  int32_t threshold;          // of every message
  pthread_mutex_t mutex;      // guards current and every generation's uses
  MilterGeneration *current;  // never null once open
};

// milter_rules_make - reads the configuration and asks the module for an instance
// previous is the instance the module may hand back unchanged; *reused tells
// whether it did (the new host is then freed and nothing is made).
static uint32_t milter_rules_make(const MilterRules *rules, void *previous, MilterGeneration **made,
                                  bool *reused) {
  *made = nullptr;
  *reused = false;
  HdrwHost *host = nullptr;
  uint32_t rc = hdrw_host_create(&host, rules->plugin, rules->load_point, rules->config_path,
                                 rules->threshold);
  if (rc != 0) return rc;
  void *instance = hdrw_host_init(host, previous);
  if (instance == nullptr) {
    hdrw_host_free(host);
    return MILTER_RULES_REFUSED;
  }
  if (instance == previous) {
    // The previous instance points at its own host's callback table: it stays
    // with its generation, and this host is not needed.
    hdrw_host_free(host);
    *reused = true;
    return 0;
  }
  MilterGeneration *generation = (MilterGeneration *)tlvpr_calloc(1, sizeof(MilterGeneration));
  if (generation == nullptr) {
    hdrw_host_free_instance(host, instance);
    hdrw_host_free(host);
    return TVR_NO_MEMORY;
  }
  generation->host = host;
  generation->instance = instance;
  generation->uses = 1;
  *made = generation;
  return 0;
}

// milter_rules_free_generation - hands the instance back and frees the host
static void milter_rules_free_generation(MilterGeneration *generation) {
  hdrw_host_free_instance(generation->host, generation->instance);
  hdrw_host_free(generation->host);
  tlvpr_free(generation);
}

// milter_rules_open - the first generation (see the header)
uint32_t milter_rules_open(MilterRules **rules, const HdrwPlugin *plugin, const char *load_point,
                           const char *config_path, int32_t threshold) {
  if (rules == nullptr || plugin == nullptr) return TVR_BAD_ARGUMENT;
  MilterRules *made = (MilterRules *)tlvpr_calloc(1, sizeof(MilterRules));
  if (made == nullptr) return TVR_NO_MEMORY;
  made->plugin = plugin;
  made->threshold = threshold;
  uint32_t rc = 0;
  if ((load_point != nullptr && (made->load_point = tlvpr_strdup(load_point)) == nullptr) ||
      (config_path != nullptr && (made->config_path = tlvpr_strdup(config_path)) == nullptr)) {
    rc = TVR_NO_MEMORY;
  }
  bool reused = false;
  if (rc == 0) rc = milter_rules_make(made, nullptr, &made->current, &reused);
  if (rc == 0 && pthread_mutex_init(&made->mutex, nullptr) != 0) {
    milter_rules_free_generation(made->current);
    rc = TVR_NO_MEMORY;
  }
  if (rc != 0) {
    tlvpr_free(made->load_point);
    tlvpr_free(made->config_path);
    tlvpr_free(made);
    return rc;
  }
  *rules = made;
  return 0;
}

// milter_rules_reload - a new generation when the configuration or rules changed
uint32_t milter_rules_reload(MilterRules *rules, enum MilterReloadOutcome *outcome) {
  if (outcome != nullptr) *outcome = MILTER_RELOAD_FAILED;
  if (rules == nullptr || outcome == nullptr) return TVR_BAD_ARGUMENT;
  // Only this thread replaces current, so reading it unlocked here is safe.
  MilterGeneration *old = rules->current;
  MilterGeneration *made = nullptr;
  bool reused = false;
  uint32_t rc = milter_rules_make(rules, old->instance, &made, &reused);
  if (rc != 0) return rc;
  if (reused) {
    *outcome = MILTER_RELOAD_SAME;
    return 0;
  }
  pthread_mutex_lock(&rules->mutex);
  rules->current = made;
  bool last = --old->uses == 0;
  pthread_mutex_unlock(&rules->mutex);
  if (last) milter_rules_free_generation(old);
  *outcome = MILTER_RELOAD_NEW;
  return 0;
}

// milter_rules_pin - the current generation, with one more use
MilterGeneration *milter_rules_pin(MilterRules *rules) {
  pthread_mutex_lock(&rules->mutex);
  MilterGeneration *generation = rules->current;
  ++generation->uses;
  pthread_mutex_unlock(&rules->mutex);
  return generation;
}

// milter_rules_unpin - drops one use; the last use of a replaced generation frees it
void milter_rules_unpin(MilterRules *rules, MilterGeneration *generation) {
  if (rules == nullptr || generation == nullptr) return;
  pthread_mutex_lock(&rules->mutex);
  bool last = --generation->uses == 0;
  pthread_mutex_unlock(&rules->mutex);
  if (last) milter_rules_free_generation(generation);
}

// milter_rules_evaluate - the module's verdict on one header block
uint32_t milter_rules_evaluate(const MilterGeneration *generation, const char *block,
                               uint32_t length, HdrwVerdict *verdict) {
  if (generation == nullptr) return TVR_BAD_ARGUMENT;
  return hdrw_host_evaluate(generation->host, generation->instance, block, length, length, verdict);
}

// milter_rules_threshold - the threshold of every message
int32_t milter_rules_threshold(const MilterRules *rules) {
  return rules == nullptr ? 0 : rules->threshold;
}

// milter_rules_instance - the current instance, for the reloading thread
const void *milter_rules_instance(const MilterRules *rules) {
  // Only the reloading thread replaces current, so reading it unlocked is safe.
  return rules == nullptr ? nullptr : rules->current->instance;
}

// milter_rules_close - frees the current generation and the record
void milter_rules_close(MilterRules *rules) {
  if (rules == nullptr) return;
  milter_rules_free_generation(rules->current);
  pthread_mutex_destroy(&rules->mutex);
  tlvpr_free(rules->load_point);
  tlvpr_free(rules->config_path);
  tlvpr_free(rules);
}
