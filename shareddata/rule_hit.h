// rule_hit - the hit record a module hands to its host
//
// tlvModEndMessage (module/regex_filter.h) appends one RuleHit per matching rule
// to the host's list; the host walks the list through its links, reads ID and
// weight, and frees each record with tlvpr_free. The layout is a binary
// interface between host and module, checked below; the record lies down here,
// under the rule engine that fills it and the host that reads it, so neither
// needs the other's headers.
#ifndef SHAREDDATA_RULE_HIT_H
#define SHAREDDATA_RULE_HIT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RuleHit {
  struct RuleHit *next;      // null for the last record
  struct RuleHit *previous;  // null for the first record
  int32_t rule_id;           // the matching rule ("&." line for a multi-line rule)
  int32_t weight;            // that line's weight
} RuleHit;

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(void *) != 8 || sizeof(RuleHit) == 24,
              "RuleHit layout is shared with the host");
static_assert(offsetof(RuleHit, next) == 0, "RuleHit layout is shared with the host");
static_assert(offsetof(RuleHit, previous) == sizeof(void *),
              "RuleHit layout is shared with the host");
static_assert(offsetof(RuleHit, rule_id) == 2 * sizeof(void *),
              "RuleHit layout is shared with the host");
static_assert(offsetof(RuleHit, weight) == 2 * sizeof(void *) + 4,
              "RuleHit layout is shared with the host");
#endif

#endif
