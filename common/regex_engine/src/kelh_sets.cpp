// kelh_sets - the rule base's sets (contract in kelh_sets.h)
//
// Groups are found through an open-addressing table keyed by name hash; a
// group's sets are numbered consecutively, those tried at the line start
// first. Keeping the two kinds apart lets a scan stop early: a set of
// anchored patterns reaches its dead state as soon as every pattern has
// failed. Tests: tests/kelh_engine_test.cpp (through the walk).
#include "kelh_sets.h"

#include <string.h>

#include "regx_set.h"
#include "tlvpr_mem.h"

namespace {

constexpr uint32_t kNoMemory = 10013;
constexpr uint32_t kBadArgument = 10040;
constexpr uint32_t kInternalError = 1003;

struct KelhGroup {
  uint32_t hash;
  uint32_t used;        // non-zero once the slot holds a group
  uint32_t members[2];  // patterns in its sets: tried at the line start only, others
  uint32_t placed[2];   // of those, placed so far
  uint32_t first;       // number of its first set
  uint32_t count;       // its sets
};

// kelh_slot_used - whether a group slot holds a group (for kelh_probe)
inline bool kelh_slot_used(const KelhGroup &g) { return g.used != 0; }

// kelh_sets_count - sets that n patterns fill
inline uint32_t kelh_sets_count(uint32_t n) {
  return (n + REGX_SET_MAX_PATTERNS - 1) / REGX_SET_MAX_PATTERNS;
}

}  // namespace

struct KelhSets {
  RegxSetBudget budget;  // shared by all the sets
  RegxSet **sets;
  uint32_t set_count;
  KelhGroup *groups;  // open addressing by hash, mask + 1 slots
  uint32_t mask;
  KelhGroup every;        // the lines without a header name
  KelhRulePlace *places;  // per rule line
  uint32_t line_count;
};

namespace {

// kelh_sets_group - the group of a name hash (found, or a free slot)
KelhGroup *kelh_sets_group(const KelhSets *sets, uint32_t hash) {
  if (hash == 0) {
    return const_cast<KelhGroup *>(&sets->every);
  }
  return &sets->groups[kelh_probe(sets->groups, sets->mask, hash)];
}

// kelh_sets_make - the places of the patterns and the sets they fill
uint32_t kelh_sets_make(KelhSets *sets, const RegxPattern *const *patterns,
                        const uint32_t *name_hashes, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    sets->places[i].set = -1;
    if (regx_set_accepts(patterns[i])) {
      KelhGroup *g = kelh_sets_group(sets, name_hashes[i]);
      g->hash = name_hashes[i];
      g->used = 1;
      const uint32_t kind = regx_set_anchored(patterns[i]) ? 0 : 1;
      g->members[kind]++;
      sets->places[i].set = 0;
      sets->places[i].local = kind;  // until placed below
    }
  }
  uint32_t total = 0;
  for (uint32_t s = 0; s <= sets->mask + 1; s++) {
    KelhGroup *g = s <= sets->mask ? &sets->groups[s] : &sets->every;
    g->first = total;
    g->count = kelh_sets_count(g->members[0]) + kelh_sets_count(g->members[1]);
    total += g->count;
  }
  sets->sets = static_cast<RegxSet **>(tlvpr_calloc(total + 1, sizeof(RegxSet *)));
  const RegxPattern **members = static_cast<const RegxPattern **>(
      tlvpr_calloc((size_t)total * REGX_SET_MAX_PATTERNS + 1, sizeof(RegxPattern *)));
  uint32_t *sizes = static_cast<uint32_t *>(tlvpr_calloc(total + 1, sizeof(uint32_t)));
  uint32_t rc = sets->sets != nullptr && members != nullptr && sizes != nullptr ? 0 : kNoMemory;
  sets->set_count = sets->sets != nullptr ? total : 0;
  // In rule-base order: a group's sets of anchored patterns first, then the others.
  for (uint32_t i = 0; rc == 0 && i < count; i++) {
    KelhRulePlace *place = &sets->places[i];
    if (place->set < 0) {
      continue;
    }
    KelhGroup *g = kelh_sets_group(sets, name_hashes[i]);
    const uint32_t kind = place->local;
    const uint32_t position = g->placed[kind]++;
    place->local =
        (kind == 0 ? 0 : kelh_sets_count(g->members[0])) + position / REGX_SET_MAX_PATTERNS;
    place->set = (int32_t)(g->first + place->local);
    place->bit = position % REGX_SET_MAX_PATTERNS;
    members[(size_t)place->set * REGX_SET_MAX_PATTERNS + place->bit] = patterns[i];
    sizes[place->set] = place->bit + 1;
  }
  for (uint32_t n = 0; rc == 0 && n < total; n++) {
    const int made = regx_set_create(&sets->sets[n], &members[(size_t)n * REGX_SET_MAX_PATTERNS],
                                     sizes[n], &sets->budget);
    if (made != REGX_OK) {
      // Every member was accepted above: only memory can run out.
      rc = made == REGX_ESPACE ? kNoMemory : kInternalError;
    }
  }
  tlvpr_free(members);
  tlvpr_free(sizes);
  return rc;
}

}  // namespace

// kelh_sets_build - groups the patterns and makes their sets
uint32_t kelh_sets_build(const RegxPattern *const *patterns, const uint32_t *name_hashes,
                         uint32_t count, size_t cap, KelhSets **out) {
  if (out == nullptr || (count != 0 && (patterns == nullptr || name_hashes == nullptr))) {
    return kBadArgument;
  }
  KelhSets *sets = static_cast<KelhSets *>(tlvpr_calloc(1, sizeof(KelhSets)));
  if (sets == nullptr) {
    return kNoMemory;
  }
  sets->budget.cap = cap;
  sets->line_count = count;
  const uint32_t slots = kelh_slots_for(count);
  sets->mask = slots - 1;
  sets->groups = static_cast<KelhGroup *>(tlvpr_calloc(slots, sizeof(KelhGroup)));
  sets->places = static_cast<KelhRulePlace *>(tlvpr_calloc(count + 1, sizeof(KelhRulePlace)));
  uint32_t rc = sets->groups != nullptr && sets->places != nullptr
                    ? kelh_sets_make(sets, patterns, name_hashes, count)
                    : kNoMemory;
  if (rc != 0) {
    kelh_sets_free(sets);
    return rc;
  }
  *out = sets;
  return 0;
}

// kelh_sets_cap - the loader's budget for the states of count rule lines
size_t kelh_sets_cap(uint32_t count) {
  return KELH_SETS_CAP_BASE + (size_t)KELH_SETS_CAP_PER_LINE * count;
}

// kelh_sets_free - frees the sets and the tables
void kelh_sets_free(KelhSets *sets) {
  if (sets == nullptr) {
    return;
  }
  for (uint32_t n = 0; sets->sets != nullptr && n < sets->set_count; n++) {
    regx_set_free(sets->sets[n]);
  }
  tlvpr_free(sets->sets);
  tlvpr_free(sets->groups);
  tlvpr_free(sets->places);
  tlvpr_free(sets);
}

// kelh_sets_rule - where rule line index is answered
KelhRulePlace kelh_sets_rule(const KelhSets *sets, uint32_t index) {
  if (sets == nullptr || index >= sets->line_count) {
    return KelhRulePlace{-1, 0, 0};
  }
  return sets->places[index];
}

// kelh_sets_line - the sets a header line of that name needs
uint32_t kelh_sets_line(const KelhSets *sets, uint32_t name_hash, uint32_t *named) {
  uint32_t mine = 0;
  if (sets != nullptr && name_hash != 0) {
    const KelhGroup *g = kelh_sets_group(sets, name_hash);
    mine = g->used != 0 ? g->count : 0;
  }
  *named = mine;
  return mine + (sets != nullptr ? sets->every.count : 0);
}

// kelh_sets_first - the number of the first set of a name's group
uint32_t kelh_sets_first(const KelhSets *sets, uint32_t name_hash) {
  return kelh_sets_group(sets, name_hash)->first;
}

// kelh_sets_get - a set by its number
RegxSet *kelh_sets_get(const KelhSets *sets, uint32_t number) { return sets->sets[number]; }

// kelh_sets_bytes - tables, automata and states
size_t kelh_sets_bytes(const KelhSets *sets) {
  if (sets == nullptr) {
    return 0;
  }
  size_t bytes = sizeof(KelhSets) + (sets->mask + 1) * sizeof(KelhGroup) +
                 sets->line_count * sizeof(KelhRulePlace);
  for (uint32_t n = 0; n < sets->set_count; n++) {
    bytes += regx_set_bytes(sets->sets[n]);
  }
  return bytes;
}
