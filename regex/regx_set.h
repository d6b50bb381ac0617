// regx_set - one pass over a subject says which of up to 64 patterns match it
//
// A set answers "does pattern i match somewhere in the subject" for all its
// patterns at once, by a deterministic automaton over their programs that
// is built lazily, state by state, as subjects need them. It answers what an
// exhaustive search answers; regx_exec answers the same wherever its plain
// run stays clear of results 18 and 20, which regx_set_longest bounds.
//
// regx_set_accepts(pattern): non-zero when the pattern can join a set: a
//   program of one-byte tests, strings, ^, $ (not under REGX_NEWLINE), \< and \>,
//   alternation, groups without back-references, repetitions of one one-byte
//   test (x*, [a-z]{1,3}, .{0,2}) and of groups whose every iteration takes
//   a byte or more ((\.[0-9]+)?, ([0-9]{1,3}\.){3}, ([a-z]+ )+), of at most
//   REGX_SET_MAX_NODES automaton nodes, and with the push bound
//   (regx_set_longest) existing; x? takes any group, also one that may match
//   empty (( *( |$))?$). Back-references, groups repeated more than once that
//   may match empty and x{0} keep a pattern out.
// regx_set_anchored(pattern): non-zero when the pattern is tried at the
//   subject's start only (it begins with ^, or was compiled REGX_FULLMATCH).
// regx_set_longest(pattern, limit): the longest subject on which the plain
//   run provably stays within limit backtracks and both stack capacities, so
//   that a set's answer is regx_exec's result with flags 0 (match 0, else 1);
//   -1 when there is none or the pattern has no bound. Thread-safe; the
//   answer for the last limit asked about is kept in the pattern's plan.
// regx_set_fits(pattern, limit, subject): the same promise for one subject
//   described by a RegxSubject (regx_subject_init): a tighter bound, since a
//   repetition's follower gets past its first test only where the subject has
//   one of its first bytes, and a repetition of a class takes no more bytes
//   than the subject's longest run of that class. Non-zero when the set's
//   answer is regx_exec's result. Thread-safe for distinct subjects; it
//   measures into the subject what it has not measured yet.
// regx_set_bound_pays(pattern): non-zero while regx_set_fits is worth asking
//   for the pattern's subjects; 0 once its bound failed on more than one in
//   eight of the first 256 subjects regx_set_fits was asked about (any
//   limit) since the pattern last joined a set (regx_set_create): the caller
//   then does better to run regx_exec at once. Either way the caller's
//   results are regx_exec's. Thread-safe.
// regx_subject_init(subject, text, length): counts the length bytes of text
//   (no NUL among them) into the record and marks nothing measured yet. The
//   text must stay unchanged while the record is used.
// regx_set_create(&set, patterns, count, budget): a set of count (1 to 64)
//   patterns that regx_set_accepts, pattern i answering in bit i. The
//   patterns must outlive the set. budget (shared by the sets of one owner)
//   caps the bytes of automaton states all of them may hold beyond each set's
//   start state, which belongs to the set; it must outlive them too. Results:
//   REGX_OK (*set written); REGX_EFATAL a null argument or a count outside 1
//   to 64; REGX_ENOSYS a pattern that regx_set_accepts refuses; REGX_ESPACE
//   no memory. Nothing is made on failure. Free with regx_set_free.
// regx_set_scan(set, text, length, &matched): runs the automaton over length
//   bytes (the subject; it must hold no NUL). Returns 0 with *matched holding
//   the bits of the patterns that match; 1 when the answer is unknown: the
//   subject is empty, or a state it needs cannot be built because the budget
//   is spent or memory runs out (the caller then asks regx_exec; the states
//   already built stay in use). A state that a scan finds stepping to itself
//   is examined once: when few bytes leave it (sets without word anchors),
//   its transitions to itself are built at once and scans jump to the next
//   of those bytes; a transition that leaves is built when a scan takes it,
//   as every other. Any number of threads may scan one set: a
//   state is built once, under the set's own lock, and published with one
//   atomic store; a scan that finds its states built takes no lock at all.
// regx_set_scan_two(sets, texts, lengths, matched, results): two scans at
//   once (the sets may be one and the same): results[k] and matched[k] are
//   regx_set_scan(sets[k], texts[k], lengths[k], &matched[k])'s. Only which
//   of them meets a state it cannot build once the budget is spent may differ
//   from two scans one after the other. The two are stepped in turn, so one's
//   loads need not wait for the other's: on the sets of the imported real
//   rules, whose states outgrow the caches, the scans of a message took about
//   20% less time in pairs than one by one.
// regx_set_bytes(set): the bytes the set holds (automaton and states).
// regx_set_free(set): frees the set and its states; null accepted. The budget
//   gets the states' bytes back.
//
// Logs nothing.
#ifndef REGEX_REGX_SET_H
#define REGEX_REGX_SET_H

#include <stddef.h>
#include <stdint.h>

#include "regx.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REGX_SET_MAX_PATTERNS 64
#define REGX_SET_MAX_NODES 1024

// Bytes of automaton states that the sets sharing it may hold together.
typedef struct RegxSetBudget {
  size_t cap;   // set by the owner
  size_t used;  // updated atomically by the sets
} RegxSetBudget;

typedef struct RegxSet RegxSet;

// One subject as the bounds read it: its byte counts, and the runs of byte
// values the bounds measured in it so far (the first REGX_SUBJECT_MEASURES
// byte values are kept; others are measured each time). Owned by the caller;
// one thread at a time.
#define REGX_SUBJECT_MEASURES 16
typedef struct RegxSubject {
  const unsigned char *text;
  size_t length;
  uint32_t counts[256];  // occurrences of each byte value
  uint32_t measure_count;
  uint8_t measure_bytes[REGX_SUBJECT_MEASURES];  // the byte values measured, in order
  // per measured byte value: the most consecutive bytes that are that value,
  // and that are not
  uint32_t measure_runs[REGX_SUBJECT_MEASURES][2];
} RegxSubject;

int regx_set_accepts(const RegxPattern *pattern);
int regx_set_anchored(const RegxPattern *pattern);
int64_t regx_set_longest(const RegxPattern *pattern, uint32_t limit);
int regx_set_fits(const RegxPattern *pattern, uint32_t limit, RegxSubject *subject);
int regx_set_bound_pays(const RegxPattern *pattern);
void regx_subject_init(RegxSubject *subject, const char *text, size_t length);
int regx_set_create(RegxSet **set, const RegxPattern *const *patterns, uint32_t count,
                    RegxSetBudget *budget);
int regx_set_scan(RegxSet *set, const char *text, size_t length, uint64_t *matched);
void regx_set_scan_two(RegxSet *const sets[2], const char *const texts[2], const size_t lengths[2],
                       uint64_t matched[2], int results[2]);
size_t regx_set_bytes(const RegxSet *set);
void regx_set_free(RegxSet *set);

#ifdef __cplusplus
}
#endif

#endif
