// kelh_sets - a rule base's patterns grouped by header name into sets that
// one pass over a header line answers (regx_set)
//
// kelh_sets_build(patterns, name_hashes, count, cap, &sets): patterns[i] and
//   name_hashes[i] belong to rule line i in rule-base order (count lines).
//   Every pattern that regx_set_accepts joins a set: per header-name hash
//   (0: the lines tried on every header line), the patterns tried at the
//   line start only and the others apart, in rule-base order, up to 64 to a
//   set. The patterns must outlive the sets. The sets' states (beyond their
//   start states) share a budget of cap bytes; the loader gives
//   kelh_sets_cap(count). Once it is spent, lines that need a state not yet
//   built are answered by the matcher (exactly, only slower). Results: 0
//   (*sets written, free with kelh_sets_free); 10040 null argument; 10013 no
//   memory; 1003 a set refused a pattern regx_set_accepts took (cannot
//   happen). Nothing made on failure. Logs nothing.
// kelh_sets_cap(count): KELH_SETS_CAP_BASE + KELH_SETS_CAP_PER_LINE per line.
// kelh_sets_free(sets): frees everything; null accepted.
//
// For the loader, which keeps what the walk needs of them in the rule base's
// entries and names (read-only after building; any number of threads):
// kelh_sets_rule(sets, i) is rule line i's place: set < 0 when no set holds
//   its pattern; else the set (kelh_sets_get), the set's number among its
//   group's (local) and the pattern's bit in it.
// kelh_sets_line(sets, name_hash, &named): the number of sets a header line
//   with that name hash needs: those of its name (*named of them, 0 when no
//   rule names it) and those of the rules without a name.
// kelh_sets_first(sets, name_hash): the number of the first of the sets of that
//   name (0: the rules without a name); a line's sets of each kind, counted by
//   kelh_sets_line, are numbered consecutively from it, in the order of their
//   places' local numbers.
// kelh_sets_get(sets, number): a set by its number.
// kelh_sets_bytes(sets): the bytes held, states included.
#ifndef COMMON_REGEX_ENGINE_SRC_KELH_SETS_H
#define COMMON_REGEX_ENGINE_SRC_KELH_SETS_H

#include <stddef.h>
#include <stdint.h>

#include "regx.h"
#include "regx_set.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  KELH_SETS_CAP_BASE = 16 << 20,  // bytes of automaton states any rule base may hold
  KELH_SETS_CAP_PER_LINE = 4096   // and more per rule line
};

typedef struct KelhSets KelhSets;

typedef struct KelhRulePlace {
  int32_t set;     // the set's number, or -1 when no set holds the pattern
  uint32_t local;  // the set's number among the sets of its header name
  uint32_t bit;    // the pattern's bit in the set
} KelhRulePlace;

uint32_t kelh_sets_build(const RegxPattern *const *patterns, const uint32_t *name_hashes,
                         uint32_t count, size_t cap, KelhSets **sets);
size_t kelh_sets_cap(uint32_t count);
void kelh_sets_free(KelhSets *sets);
KelhRulePlace kelh_sets_rule(const KelhSets *sets, uint32_t index);
uint32_t kelh_sets_line(const KelhSets *sets, uint32_t name_hash, uint32_t *named);
RegxSet *kelh_sets_get(const KelhSets *sets, uint32_t number);
uint32_t kelh_sets_first(const KelhSets *sets, uint32_t name_hash);
size_t kelh_sets_bytes(const KelhSets *sets);

#ifdef __cplusplus
}

// kelh_probe - the slot of a name hash in an open-addressing table of mask + 1
// slots, probed linearly from a multiplicative hash: the slot that holds the
// hash, or the free one where the probe stops. Slot has a hash member, and
// kelh_slot_used(slot) says whether it holds one. The sets' groups and the
// rule base's table of header names (load_rules.h) both probe with it.
template <class Slot>
inline uint32_t kelh_probe(const Slot *slots, uint32_t mask, uint32_t hash) {
  uint32_t at = (hash * 0x9E3779B1u) >> 7 & mask;
  while (kelh_slot_used(slots[at]) && slots[at].hash != hash) {
    at = (at + 1) & mask;
  }
  return at;
}

// kelh_slots_for - the slot count of a table for n hashes: a power of two, at
// least 8 and twice n, so that probes stay short
constexpr uint32_t kelh_slots_for(uint32_t n) {
  uint32_t slots = 8;
  while (slots < 2 * n) {
    slots *= 2;
  }
  return slots;
}
#endif

#endif
