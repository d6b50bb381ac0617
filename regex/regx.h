/* regx - the rule engine's regular expression engine: compile and match
 *
 * POSIX-style patterns in basic or extended syntax (REGX_EXTENDED) are compiled
 * into a program of linked nodes and matched by a backtracking interpreter with
 * a caller-given bound on backtracks. Bytes are characters (0 to 255); classes
 * and case folding come from built-in tables, never from a locale. The match is
 * the leftmost one in priority order (branches left to right, repetitions
 * greedy), not the leftmost-longest; no match positions are reported.
 *
 * regx_init() prepares nothing and returns 0.
 *
 * regx_compile(pattern, text, flags) compiles the NUL-terminated text. Flags
 * read: REGX_EXTENDED, REGX_ICASE, REGX_NEWLINE, REGX_FULLMATCH; other bits are
 * ignored. Results: 0 (the record holds a program; give it to regx_free later),
 * 2, 3, 6 to 15 for a rejected pattern, 11 when memory runs out, 16 for a null
 * pattern or text; groups nested more than 32 deep give 14 (each group saves
 * every group inside it, so the program would grow with the square of the
 * depth). On any failure everything allocated is already released and
 * the record is left empty (regx_free on it does nothing). The record is
 * written on success only, apart from being emptied on failure. The compile
 * working state lives in the call, so compiles may run on several threads at
 * once (on different records). Memory comes from tlvpr_malloc and friends.
 *
 * regx_exec(pattern, subject, limit, count, flags) matches the NUL-terminated
 * subject. Flags read: REGX_NOTBOL, REGX_NOTEOL. Results: 0 match, 1 no match,
 * 16 (null pattern, subject or program; a damaged program), 18 (the backtrack
 * stack of 8192 entries or the loop record stack of 4096 records is full), 20
 * (more than limit backtracks; 0xFFFFFFFF is no practical limit). *count, when
 * count is not null, receives the number of backtracks for results 0 and 1
 * only. A repetition entered anew while an earlier entry of it can still be
 * backtracked into saves its iteration state in two extra stack entries, so a
 * pattern near the stack capacity can meet result 18 one push earlier than an
 * engine without that save would. No heap allocation: the stacks and the
 * repetitions' state (about 210 KB) live on the calling thread's stack, which
 * must have room for them. The pattern is only read, so any number of threads
 * may match one pattern at once; the exception is a pattern of more than
 * REGX_LOOP_STATES repetitions, which keeps their state in a block of its own:
 * regx_exec_shared(pattern) is then non-zero and calls on that pattern must be
 * serialised. Shortcuts give exactly the result and the count of the
 * node-by-node run; without a count destination a subject that lacks a
 * literal every match needs (letters written as [Xx] classes compared in
 * either case) may be answered 1 at once, when the run provably stays within
 * the limit and the stack.
 *
 * regx_error(code, pattern, buffer, size) returns the length plus 1 of the
 * fixed text of code ("unknown regex error" outside 0 to 20); pattern is not
 * used and may be null. With size non-zero it fills exactly size bytes of
 * buffer: the text cut to size - 1 bytes, then NUL bytes. Size 0 leaves the
 * buffer untouched.
 *
 * regx_free(pattern) releases everything the record owns and leaves it empty;
 * a null pattern, an empty record or a second call does nothing. It must not
 * run while the pattern is being matched.
 *
 * None of the calls logs.
 */
#ifndef REGEX_REGX_H
#define REGEX_REGX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Compile flags */
#define REGX_EXTENDED 0x1   /* extended syntax (otherwise basic) */
#define REGX_ICASE 0x4      /* letters match either case */
#define REGX_NEWLINE 0x8    /* ^ $ . [^...] treat newline as a line break */
#define REGX_FULLMATCH 0x40 /* match from the subject's start to its end */
/* Execution flags */
#define REGX_NOTBOL 0x200 /* the subject's start is not a line start */
#define REGX_NOTEOL 0x400 /* the subject's end is not a line end */

/* Largest interval bound */
#define REGX_DUP_MAX 255

/* Repetitions whose state regx_exec keeps in the call; a pattern with more
 * keeps it in itself (regx_exec_shared) */
#define REGX_LOOP_STATES 1024

/* Result codes (texts from regx_error) */
#define REGX_OK 0
#define REGX_NOMATCH 1
#define REGX_ECOLLATE 2
#define REGX_EESCAPE 3
#define REGX_ENEWLINE 4
#define REGX_ESUBREG 6
#define REGX_EBRACK 7
#define REGX_EPAREN 8
#define REGX_EBRACE 9
#define REGX_ERANGE 10
#define REGX_ESPACE 11
#define REGX_BADRPT 12
#define REGX_ECTYPE 13
#define REGX_BADPAT 14
#define REGX_BADBR 15
#define REGX_EFATAL 16
#define REGX_EMBCHAR 17
#define REGX_ESTACK 18
#define REGX_ENOSYS 19
#define REGX_ETOOMANY 20

struct RegxNode;
struct RegxBlock;
struct RegxPlan;
struct RegxLoopState;

/* A compiled pattern. The caller provides the storage (zero-filled or emptied
 * by a failed compile or by regx_free); the engine fills and empties it. */
typedef struct RegxPattern {
  int32_t flags;                    /* compile flags it was built with */
  uint32_t group_count;             /* parenthesised groups in the pattern */
  struct RegxBlock *arena;          /* first node block; null when empty */
  struct RegxNode *program;         /* first node of the program; null when empty */
  struct RegxPlan *plan;            /* matcher shortcuts derived from the program; owned */
  uint32_t loop_count;              /* repetitions in the program, numbered from 0 */
  struct RegxLoopState *loop_state; /* their state when above REGX_LOOP_STATES; owned */
} RegxPattern;

int regx_init(void);
int regx_compile(RegxPattern *pattern, const char *text, int flags);
int regx_exec(const RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
              int flags);
int regx_exec_shared(const RegxPattern *pattern);
size_t regx_error(int code, const RegxPattern *pattern, char *buffer, size_t size);
void regx_free(RegxPattern *pattern);

#ifdef __cplusplus
}
#endif

#endif
