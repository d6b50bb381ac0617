// load_rules - the rule file loader: plain rule text into a RuleBase
//
// The rule file holds a version line and then comment lines ("#" in column 1),
// blank lines (only space, tab, LF, VT, FF, CR) and fixed-column rule lines:
//   rule ID (10 characters in format version 2, 6 in version 1), weight (3),
//   rule type (3: "001" single-line, "005" line of a multi-line rule),
//   conjunction (2: "&-" for "001"; "&+" a further line follows, "&." last line
//   for "005"), pattern (extended regular expression, at least 1 character, to
//   the end of the line; a CR before the LF belongs to it).
// ID and weight are read like the C library's atoi (leading white space, sign,
// digits); an ID that reads as 0 is invalid. Version lines:
//   "# version 03/30/1998/001" = format version 1, "# version 04/18/2001/002" = 2.
//
// rulebase_load(&instance->rule_base, stream, key, key_type, strict): sets the
//   field to null, decrypts the open stream (tlvDecrypt with key and key_type,
//   passed on unchanged) into a self-deleting temporary file, rewinds it, parses
//   it (rulebase_parse) and logs level 6, 29029 "Rules loaded = %u, regexs loaded
//   = %u.". On success the field holds the new RuleBase (the caller frees it with
//   rulebase_free); on failure it stays null and nothing of the rule base
//   survives. The temporary file is closed (and so removed) on every path.
//   Results: 0; 10040 null field or stream, or key_type -1 (not logged);
//   29025 no temporary file (logged 3); the decryption's status, 1 or a
//   temporary-file code (logged 3, 29026); 10045 rewind failed (logged 3, 29027);
//   the parse's status (logged 3, 29028). The stream is neither rewound nor closed.
// rulebase_load_path(&field, path, key, key_type, strict): opens path ("r") with
//   up to 5 attempts, sleeping 0.5, 1, 2 and 4 s between them (tlvpr_sleep), then
//   rulebase_load and closes the file. 10040 null path or field (field then null
//   when given); 29024 "Cannot open rule file." (logged 3) when every attempt failed.
// rulebase_parse(stream, &field, strict): reads the version line and every rule
//   line, drops invalid rules (rulebase_drop_invalid), groups the patterns into
//   the sets the evaluation scans (kelh_sets_build) and stores the RuleBase in
//   *field (written only on success). Failures are logged at level 6 with the
//   status as the code: 10040 null argument, 10013 no memory for the RuleBase
//   or its sets, 29015 version line unreadable or wrong, 29016 a rule line
//   stopped the load.
// rulebase_make_sets(rule_base, cap): builds the sets the evaluation scans
//   (kelh_sets_build over every line, rule-base order) with a state budget of
//   cap bytes, and the entries of the lines with the table of their header
//   names, replacing any the rule base has; rulebase_parse gives
//   kelh_sets_cap of its line count. 0; 10040 null rule
//   base; 10013 no memory (the rule base keeps its sets, entries and names). Not
//   logged. Not while evaluations run; the list must not change after it (the
//   entries point into it).
// rulebase_read_version(stream, &version): 0 and version 1 or 2; a reader status
//   (10034 empty file, 10035, 10013), 29004 version line without LF or 29005
//   wrong text, each logged at level 3.
// rulebase_read_rule(version, strict, stream, &line): reads one line. 0 with
//   *line set to a new RuleLine (valid or, when strict is 0, invalid: flag
//   RULE_LINE_VALID clear), or 0 with *line null for a comment or blank line;
//   10034 at end of file (not logged); 10040 null stream or line (not logged);
//   a reader status (logged 3); 10013 no
//   memory (logged 3); 10030 the lock could not be made (logged 3). A bad field
//   or pattern is logged at level 3 when strict is 1, else at level 6 (codes
//   29007 to 29014 without arguments, 29018 "Bad regular expression: %s: %s: %u."
//   with the engine's text, the pattern and the rule ID); with strict 1 the
//   status is then the field's code, or 29028 for a bad pattern.
//   An out-of-memory result of the pattern compiler is not a bad pattern: it is
//   logged at level 3 as 10013 and fails the line with 10013 in both modes, so
//   a load never succeeds with rules silently missing.
// rulebase_make_line(text, version, &line, &check): the per-line logic behind
//   rulebase_read_rule, without reading or logging, for tools that walk the plain
//   text themselves (the caller decides first with rulebase_line_is_rule). Builds
//   a RuleLine from one line of text (without its LF): fields, name hash, lock,
//   compiled pattern. Result 0 with *line set (free it with rulebase_free_line)
//   and check filled: check.code 0 valid, 29007..29014 the first failing field
//   check, 29018 pattern does not compile (check.regx_result holds the engine's
//   code); check.pattern_offset is where the pattern starts in text (meaningful
//   when check.code is 0 or 29018). Results 10040 null argument, 10013 no memory
//   (also when the compiler runs out), 10030 lock failure; *line is then untouched.
// rulebase_line_is_rule(text): 0 for a comment or blank line, 1 otherwise.
// rulebase_version_of(text): 1 or 2 for an exact version line, 0 otherwise.
// rule_name_hash(pattern): the hash of the literal header name at the start of a
//   pattern ("^" optional, then letters, digits and "-" up to a ":"); 0 when
//   there is none, meaning the line applies to every header line.
// rulebase_drop_invalid(rule_base): unlinks and frees every run of adjacent
//   lines sharing the rule ID of a line without RULE_LINE_VALID, with a debug
//   trace "removing invalid rule: %u" per run.
// rulebase_free(rule_base): frees every line, the sets and the record; null is accepted;
//   returns 0. rulebase_free_line(line) frees one unlinked line; null accepted.
// rulebase_count(rule_base, &rules, &patterns): adds to both counters: patterns
//   +1 per line, rules +1 per line except "&+" lines of multi-line rules. A null
//   rule base adds nothing. 0, or 10040 for a null counter.
//
// Threads: loading runs on one thread. A loaded RuleBase is read-only apart from
// the sets' automaton states, which evaluations add under each set's own lock,
// and each entry's longest word (one relaxed atomic store of a value that
// every thread computes alike);
// the evaluation engine (kelh_engine.h) takes a line's lock only for a pattern
// that regx_exec_shared says must be matched by one thread at a time.
#ifndef COMMON_REGEX_ENGINE_SRC_LOAD_RULES_H
#define COMMON_REGEX_ENGINE_SRC_LOAD_RULES_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "regx.h"
#include "tlvpr_sync.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  RULE_TYPE_SINGLE = 1,  // type field "001"
  RULE_TYPE_MULTI = 5    // type field "005"
};

enum {
  RULE_CONJ_MORE = 1,  // "&-" (single-line rule) or "&+" (another line follows)
  RULE_CONJ_LAST = 2   // "&." (last line of a multi-line rule)
};

enum {
  RULE_LINE_VALID = 0x1,  // every field parsed and the pattern compiled
  RULE_LINE_LOCKED = 0x2  // the lock was initialised and must be destroyed
};

typedef struct RuleLine {
  struct RuleLine *next;      // next line in file order, null at the end
  struct RuleLine *previous;  // previous line, null for the first
  int32_t rule_id;            // never 0 in a valid line; logged with %u
  int32_t weight;             // may be 0 or negative
  uint32_t rule_type;         // RULE_TYPE_SINGLE or RULE_TYPE_MULTI (0 while unparsed)
  uint32_t conjunction;       // RULE_CONJ_MORE or RULE_CONJ_LAST (0 while unparsed)
  uint32_t name_hash;         // header-name hash of the pattern; 0 = every header line
  RegxPattern pattern;        // compiled pattern, valid while compile_status is 0
  TlvprLock lock;             // serialises matches of a pattern with regx_exec_shared
  uint32_t compile_status;    // 0 compiled; else nothing compiled (starts at 1)
  uint32_t flags;             // RULE_LINE_VALID | RULE_LINE_LOCKED
} RuleLine;

struct KelhSets;
struct RegxSet;

// A rule line as the evaluation walks it: what it reads of every line, in
// one array in file order, so that a line whose header name the message
// lacks, or whose answer a set already holds, costs no read of its RuleLine.
typedef struct RuleEntry {
  RuleLine *line;
  struct RegxSet *set;   // the set that holds its pattern; null: the matcher answers
  uint64_t longest;      // its push bound by length for the last limit asked:
                         // limit << 32 | (regx_set_longest + 1); 0 not asked yet
  uint32_t name_hash;    // the line's name_hash
  uint32_t name;         // the number of its header name (RuleBase names); 0 when
                         // name_hash is 0
  uint32_t local;        // its set's number among the sets of its header name
  uint32_t bit;          // its pattern's bit in the set
  uint16_t rule_type;    // its rule_type
  uint16_t conjunction;  // its conjunction
} RuleEntry;

// A header name that rule lines use: what a message's header line with that
// name needs of the evaluation (kelh_sets_line of its hash). Such a line has
// a memo slot for each set of its name and each of the rule lines without a
// name (RuleBase unnamed_need).
typedef struct RuleName {
  uint32_t hash;   // the name hash, never 0
  uint32_t named;  // the sets of its name
  uint32_t first;  // the number of the first of its name's sets (kelh_sets_first)
} RuleName;

// One slot of the rule base's table of header names, by hash.
typedef struct RuleNameSlot {
  uint32_t hash;
  uint32_t number;  // the name's number (its index in names) + 1; 0: a free slot
} RuleNameSlot;

typedef struct RuleBase {
  int32_t format_version;  // 1 or 2
  RuleLine *first;         // head of the doubly linked list in file order; null when empty
  struct KelhSets *sets;   // the patterns' sets for the evaluation (kelh_sets.h); owned;
                           // null: every pair runs the matcher
  RuleEntry *entries;      // the lines in file order, made with the sets; owned;
                           // null: the evaluation follows the list (and runs
                           // the matcher on every pair)
  uint32_t entry_count;
  // The distinct header names of the entries, numbered in file order of
  // first use, made with them (one allocation with name_slots; owned).
  RuleName *names;
  uint32_t name_count;
  RuleNameSlot *name_slots;  // open addressing by hash (kelh_probe), name_mask + 1 slots
  uint32_t name_mask;
  uint32_t unnamed_need;   // the memo slots of a line whose name no rule line has
  uint32_t unnamed_first;  // the number of the first set of the lines without a name
} RuleBase;

typedef struct RuleLineCheck {
  uint32_t code;            // 0 valid; 29007..29014 first failing field; 29018 bad pattern
  uint32_t regx_result;     // the compiler's result (0 unless code is 29018)
  uint32_t pattern_offset;  // offset of the pattern in the line text
} RuleLineCheck;

uint32_t rulebase_load(RuleBase **rule_base, FILE *stream, const char *key, int key_type,
                       int strict);
uint32_t rulebase_load_path(RuleBase **rule_base, const char *path, const char *key, int key_type,
                            int strict);
uint32_t rulebase_parse(FILE *stream, RuleBase **rule_base, int strict);
uint32_t rulebase_make_sets(RuleBase *rule_base, size_t cap);
uint32_t rulebase_read_version(FILE *stream, int32_t *version);
uint32_t rulebase_read_rule(int32_t version, int strict, FILE *stream, RuleLine **line);
uint32_t rulebase_make_line(const char *text, int32_t version, RuleLine **line,
                            RuleLineCheck *check);
int rulebase_line_is_rule(const char *text);
int32_t rulebase_version_of(const char *text);
uint32_t rule_name_hash(const char *pattern);
void rulebase_drop_invalid(RuleBase *rule_base);
uint32_t rulebase_free(RuleBase *rule_base);
void rulebase_free_line(RuleLine *line);
uint32_t rulebase_count(const RuleBase *rule_base, uint32_t *rules, uint32_t *patterns);

#ifdef __cplusplus
}

// kelh_slot_used - whether a slot of the names' table holds a name (for kelh_probe)
inline bool kelh_slot_used(const RuleNameSlot &slot) { return slot.number != 0; }
#endif

#endif
