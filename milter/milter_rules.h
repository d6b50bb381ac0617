// milter_rules - the module instance the milter evaluates with, and its reload
//
// A generation is one configuration read with tvr_config_open (a host context,
// hdrw_host.h) and the module instance made from it; the module's instance
// keeps a pointer to its host's callback table, so the two live and die
// together. One generation is current; every message pins the generation it
// starts on and unpins it at its end, so a reload never pulls an instance from
// under a message in flight, and a replaced generation is freed by whoever drops
// its last use: the reload itself when no message holds it, else the last
// message's unpin.
//
// Files. Before the module sees them, the configuration and the rule file
// (load_point/kelv) are read whole into a SHA-256 digest: each must be a
// regular file of at most MILTER_RULES_MAX_FILE bytes, opened without blocking
// (a FIFO, a device or a 3 GB file is refused at once, never read). The digest
// of both decides whether a reload may keep the current instance.
//
// milter_rules_open(&rules, plugin, load_point, config_path, threshold, why,
// why_size) reads the configuration and initialises the module
// (hdrw_host_create, hdrw_host_init; plugin is borrowed and must outlive the
// record). Results: 0 with *rules set; 10040 null output or plugin; 10013 no
// memory; MILTER_RULES_FILE when a file is refused or cannot be read (why
// names it and the system's reason); the codes of hdrw_host_create (21020
// configuration unreadable, 21016 not well-formed); MILTER_RULES_REFUSED when
// the module would not initialise (its own log records say why). why, when
// non-null and why_size > 0, is always terminated (empty but for
// MILTER_RULES_FILE). Nothing is handed out on failure.
//
// milter_rules_reload(rules, &outcome, why, why_size) reads both files again.
// When their digest differs from the current generation's, the module makes a
// fresh instance; when it is the same, the module is asked with the current
// instance as previous and hands it back unless something else it reads (the
// certificate's key) changed. outcome: MILTER_RELOAD_NEW (a new generation is
// current), MILTER_RELOAD_SAME (nothing changed) or MILTER_RELOAD_FAILED (the
// current generation keeps serving). Result: 0, or the reason of a failure
// (the codes of milter_rules_open, and MILTER_RULES_ABANDONED after
// milter_rules_abandon). It logs nothing itself: the caller writes one line,
// the module has logged its own reasons. Only one thread reloads; messages go
// on meanwhile on the current generation (the module only reads the previous
// instance to compare it). milter_rules_abandon(rules) makes a reload under way
// and every later one give up without changing the current generation; from
// any thread.
//
// milter_rules_pin(rules) gives the current generation with one more use;
// never null. milter_rules_unpin(rules, generation) drops one use and frees a
// replaced generation at its last (null generation ignored).
// milter_rules_evaluate(generation, block, length, verdict) runs the module on
// a header block (hdrw_host_evaluate with message and header block the same
// bytes) and gives hdrw_host_evaluate's result. milter_rules_threshold(rules)
// is the threshold every message is judged against.
// milter_rules_instance(rules) is the module instance of the current
// generation (null for null rules), for the thread that opens and reloads to
// describe it; only that thread may call it, and only read the instance.
//
// milter_rules_close(rules) frees the current generation and the record; null
// is ignored. Call it only when no message holds a generation any more.
// Threads: pin, unpin and evaluate from any number of threads at once, with a
// reload on one more; open and close alone.
#ifndef MILTER_MILTER_RULES_H
#define MILTER_MILTER_RULES_H

#include <stddef.h>
#include <stdint.h>

#include "hdrw_host.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  MILTER_RULES_REFUSED = 1,         // the module would not initialise; it logged why
  MILTER_RULES_FILE = 2,            // a file was refused or could not be read; why says which
  MILTER_RULES_ABANDONED = 3,       // the reload was abandoned: the daemon stops
  MILTER_RULES_MAX_FILE = 64 << 20  // bytes of a configuration or rule file read at most
};

enum MilterReloadOutcome { MILTER_RELOAD_NEW, MILTER_RELOAD_SAME, MILTER_RELOAD_FAILED };

typedef struct MilterRules MilterRules;
typedef struct MilterGeneration MilterGeneration;

uint32_t milter_rules_open(MilterRules **rules, const HdrwPlugin *plugin, const char *load_point,
                           const char *config_path, int32_t threshold, char *why, size_t why_size);
uint32_t milter_rules_reload(MilterRules *rules, enum MilterReloadOutcome *outcome, char *why,
                             size_t why_size);
void milter_rules_abandon(MilterRules *rules);
MilterGeneration *milter_rules_pin(MilterRules *rules);
void milter_rules_unpin(MilterRules *rules, MilterGeneration *generation);
uint32_t milter_rules_evaluate(const MilterGeneration *generation, const char *block,
                               uint32_t length, HdrwVerdict *verdict);
int32_t milter_rules_threshold(const MilterRules *rules);
const void *milter_rules_instance(const MilterRules *rules);
void milter_rules_close(MilterRules *rules);

#ifdef __cplusplus
}
#endif

#endif
