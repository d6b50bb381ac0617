// kelh_engine - header evaluation: unfold a header block, run the rule base over it
//
// split_header_lines(buffer, length, &lines) rewrites the block in place into
//   unfolded header lines. Bytes 0x21-0x7E and 0x80-0xFF are kept; other control
//   bytes (0x00-0x08, 0x0E-0x1F, 0x7F) are deleted; every run of white space
//   (0x09-0x0D, 0x20, with any control bytes inside it) becomes one space, or one
//   line-end byte 0x01 when the run holds an LF not followed by space or tab (a
//   folded LF joins the lines). Each line ends at its 0x01 byte, which stays in
//   the buffer right after the line. Results: 0 with a list in block order, its
//   records in one block (free it with kelh_free_header_lines, given the head;
//   the texts point into the buffer); 10013 when
//   the block yields no line: empty or only deleted bytes (not logged), text
//   after the last line end (logged level 1, 10047 "Illegal data."), or no memory
//   for a record (logged level 2, 10013); 10040 null lines, or a null buffer with
//   a non-zero length (not logged). *lines is written only on success.
// kelh_name_hash(text, length): the hash of a header line's name: h = h*33 + byte
//   over the bytes before the first ":", or over every byte and the line-end byte
//   0x01 when there is no ":". Equal to rule_name_hash of a pattern that starts
//   with the same literal name (load_rules.h).
// match_header_line(pattern, text, length, max_backtracks) runs regx_exec on one
//   line: the byte text[length] (the line-end byte, inside the buffer) is swapped
//   for a NUL for the call and put back. Returns REGX_OK, REGX_NOMATCH or the
//   matcher's error (REGX_ETOOMANY, REGX_ESTACK, REGX_EFATAL; also EFATAL for a
//   null pattern or text). The pattern is only read, except one that
//   regx_exec_shared names: the caller serialises matches of that (its rule
//   line's lock).
// rulebase_evaluate(buffer, length, &hits, rule_base, threshold, max_header_length,
//   max_backtracks, &verdict): sets verdict to 0, splits the block, and walks the
//   rule lines in order. Before each line it stops once threshold is not 0 and the
//   total is not below it. A line is tried on the header lines of its name (every
//   line for name hash 0) that are at most max_header_length long (0 = no limit)
//   until its first match; a matcher error ends its search and counts as no
//   match (logged 29001 "Rule %u; regex error %s (%d) for header "%.*s"." at
//   level 4 for too many backtracks, 5 otherwise). Lines over max_header_length
//   are logged (level 5, 29030) only while the first rule line is tried, up to
//   its first match. A single-line rule or the "&." line of a multi-line rule
//   that matches adds its weight once and appends a RuleHit at the tail of
//   *hits; once a line of a multi-line rule fails, its following "005" lines are
//   skipped up to and including the next "&." line. No memory for a RuleHit is
//   logged (level 1, 10013): the weight still counts, no record is appended.
//   A pair whose pattern sits in one of the rule base's sets (kelh_sets.h) is
//   answered by one scan of that set over the line, kept for the message,
//   wherever the push bound proves the matcher would give the same answer
//   (no result 18 or 20 on that line under that limit); every other pair runs
//   match_header_line. Results, hits and log lines are those of the walk that
//   runs the matcher on every pair (kelh_evaluate_with with match_header_line).
//   The verdict is 1 ("spam") when threshold > 0 and total >= threshold, or
//   threshold <= 0 and total > threshold; a debug trace "Current weight = %d"
//   then gives the total. The buffer stays rewritten.
//   Results: 0 when the evaluation ran, whatever the verdict; 10013 when the
//   block yields no header line (no rule is run, verdict 0); 10040 for a null
//   argument other than an empty buffer (not logged). Hit records come from tlvpr_malloc and belong
//   to the caller, who frees them with tlvpr_free; *hits should be null on entry (records already
//   in the list are kept and the new ones appended after them).
// kelh_evaluate_with(..., match, context): the plain walk of rulebase_evaluate
//   with another matcher in place of match_header_line and no sets: every
//   eligible (rule line, header line) pair, in the walk's order, is passed to
//   match(context, line, index, text, length, max_backtracks), index being the
//   line's position in the rule base; the logging, hits and verdict follow from
//   its answers as in rulebase_evaluate. The callback runs without the line's
//   lock, except for a pattern that regx_exec_shared names, whose lock it
//   holds. For measuring, counting or explaining matchers on the same walk.
// kelh_free_header_lines(lines) frees a list from split_header_lines; null accepted.
// kelh_free_hits(hits) frees every record of a hit list from rulebase_evaluate or
//   kelh_evaluate_with, given its first record; null accepted.
//
// Threads: any number of evaluations may share one RuleBase. Everything they
// write is their own, apart from the states the sets add (each set builds a
// state under its own lock, and a scan whose states exist takes no lock) and
// the patterns that regx_exec_shared names, matched under their rule line's
// lock (one lock held at a time, for one match of one header line). Per
// message: the header lines, their name index and the per-line tables of the
// sets' answers take one allocation, or none for a block of up to 128 LF bytes
// and a rule base of up to 256 header names, or any other pair that fits the
// same bytes (they then sit on the call's stack, about 10 KB); the sets' answers take
// one more beyond 256 of them. The measures (byte counts, runs) of the lines
// whose bound needs them: the first 16 on the call's stack (about 20 KB), up
// to 240 more in one allocation (about 1.2 KB each).
#ifndef COMMON_REGEX_ENGINE_SRC_KELH_ENGINE_H
#define COMMON_REGEX_ENGINE_SRC_KELH_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#include "load_rules.h"
#include "regx.h"
#include "rule_hit.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { KELH_LINE_END = 0x01 };  // the byte that ends every unfolded header line

typedef struct HeaderLine {
  char *text;               // first character of the line, inside the header buffer
  uint32_t length;          // characters, without the line-end byte that follows
  struct HeaderLine *next;  // next line in block order, null at the end
  uint32_t name_hash;       // kelh_name_hash of the line
} HeaderLine;

typedef int (*KelhMatchFn)(void *context, RuleLine *line, uint32_t index, char *text,
                           uint32_t length, uint32_t max_backtracks);

uint32_t split_header_lines(char *buffer, uint32_t length, HeaderLine **lines);
void kelh_free_header_lines(HeaderLine *lines);
void kelh_free_hits(RuleHit *hits);
uint32_t kelh_name_hash(const char *text, uint32_t length);
int match_header_line(const RegxPattern *pattern, char *text, uint32_t length,
                      uint32_t max_backtracks);
uint32_t rulebase_evaluate(char *buffer, uint32_t length, RuleHit **hits, const RuleBase *rule_base,
                           int32_t threshold, uint32_t max_header_length, uint32_t max_backtracks,
                           int *verdict);
uint32_t kelh_evaluate_with(char *buffer, uint32_t length, RuleHit **hits,
                            const RuleBase *rule_base, int32_t threshold,
                            uint32_t max_header_length, uint32_t max_backtracks, int *verdict,
                            KelhMatchFn match, void *context);

#ifdef __cplusplus
}
#endif

#endif
