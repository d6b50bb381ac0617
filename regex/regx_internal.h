// regx_internal - the node program shared by the compiler and the matcher
//
// A program is a graph of RegxNode linked by next; the pattern's arena is a
// chain of zero-filled blocks of five nodes, which release walks to free the
// bitmaps and texts that RX_SET, RX_NSET, RX_NSET_NL and RX_STRING own. The
// program and the plan are read-only after compiling: the matcher keeps the
// loops' positions and counts in the call, indexed by the loop number in
// RX_LOOPBACK (or, above REGX_LOOP_STATES loops, in the pattern's RegxLoopState),
// and the plan's one cached bound is a single atomic word. Not part of the
// public interface: tests include it to inspect programs and to run the plain
// interpreter beside the shortcuts.
#ifndef REGEX_REGX_INTERNAL_H
#define REGEX_REGX_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "regx.h"

enum RegxKind : int32_t {
  RX_END = 0,  // success flag in arg.word: 1 in the last node, 0 in the stop node
  RX_BOL = 1,
  RX_EOL = 2,
  RX_ANY = 3,
  RX_SET = 5,   // arg.bitmap: owned 32 bytes
  RX_NSET = 6,  // arg.bitmap: owned
  RX_ALT = 7,   // arg.node: first node of this branch
  RX_FAIL = 8,
  RX_NOP = 9,
  RX_CHAR = 10,    // arg.bytes[0]
  RX_STRING = 11,  // arg.text: owned, NUL-terminated, 2 to 255 bytes
  RX_CHAR2 = 12,   // arg.bytes[0] as written, arg.bytes[1] folded
  RX_WORDB = 13,   // arg.word: 0 word start, 1 word end
  RX_OPEN = 14,    // arg.word: group number
  RX_CLOSE = 15,
  RX_SAVE = 16,
  RX_RESTORE = 17,
  RX_BACKREF = 18,  // arg.word: group 1-9
  RX_SCAN = 19,
  RX_SCANCHAR = 20,  // arg.bytes[0]
  RX_BOL_NL = 21,
  RX_EOL_NL = 22,
  RX_ANY_NL = 23,
  RX_NSET_NL = 25,  // arg.bitmap: owned
  RX_SCAN_NL = 26,
  RX_LOOP = 27,       // next is the loop's RX_LOOPBACK
  RX_COUNT = 28,      // arg.bytes: minimum, maximum, (unused), unbounded flag
  RX_BODY = 29,       // arg.node: first node of the body; next: what follows the loop
  RX_LOOPBACK = 30,   // arg.word: the loop's number (0 to loop_count - 1)
  RX_COUNTUNDO = 31,  // stack-only marker
  RX_LOOPUNDO = 32,   // stack-only marker
  RX_LOOPSAVE = 33,   // stack-only marker: a loop's state from before its RX_LOOP ran
  RX_CLEAR = 34,
  RX_FRAME = 35,  // stack-only marker: a class loop's iterations held in one entry
};

// Byte positions inside RX_COUNT's argument; the plan fills RX_COUNT_WIDTH
// with the fewest bytes one iteration takes (at most 255), the matcher never
// reads it
enum { RX_COUNT_MIN = 0, RX_COUNT_MAX = 1, RX_COUNT_WIDTH = 2, RX_COUNT_UNBOUNDED = 3 };

typedef union RegxArg {
  uintptr_t word;
  unsigned char bytes[sizeof(uintptr_t)];
  uint8_t *bitmap;
  char *text;
  struct RegxNode *node;
} RegxArg;

typedef struct RegxNode {
  int32_t kind;           // RegxKind
  struct RegxNode *next;  // follower on success; null at the end of a list
  RegxArg arg;            // meaning depends on kind
} RegxNode;

enum { REGX_BLOCK_NODES = 5 };

typedef struct RegxBlock {
  struct RegxBlock *next;            // older block
  RegxNode nodes[REGX_BLOCK_NODES];  // zero-filled until used
} RegxBlock;

// Matcher capacities
enum { REGX_STACK_ENTRIES = 8192, REGX_LOOP_RECORDS = 4096, REGX_GROUPS = 10 };

// What an attempt starting at a node costs when it fails at its first byte:
// every path from the node meets a one-byte test before anything that reads
// the position, the groups or the loop state, so on a byte outside first the
// attempt pushes and pops the same entries wherever it starts.
typedef struct RegxFollow {
  uint8_t first[32];    // bytes on which the attempt may get further (a superset)
  uint8_t accept[256];  // first as one flag per byte, and NUL, for the skip loops
  uint32_t cost;        // counted pops of the failing attempt (not the entry below it)
  uint32_t peak;        // most stack entries it holds at once
  int32_t usable;       // non-zero when the above describes the node
  int32_t single;       // first holds exactly one byte, in byte
  int32_t wide;         // first holds more than 128 bytes
  uint8_t byte;
  char members[17];  // the bytes of first (no NUL) when at most 16, else empty
  // The one-byte tests the walk ends at (at most 8, else leaf_count is -1):
  // when none of them passes at a position, the attempt there fails as on a
  // byte outside first, so a string that does not match is skipped too.
  const struct RegxNode *leaves[8];
  int32_t leaf_count;
  int32_t enters_loop;  // some path enters a repetition (RX_LOOP) on the way
} RegxFollow;

// What the push bound reads of the attempts at a node: a failure walk that
// also passes word anchors (\< and \>), which push nothing and only make an
// attempt fail sooner, so its figures still bound the plain run. The matcher's
// skips never read it (they must count what the plain run pops exactly).
// The most bytes of a test that the bound adds up one by one
enum { RX_FEW = 4 };
typedef struct RegxBoundFollow {
  uint8_t first[32];  // bytes on which the attempt may get further (a superset)
  uint32_t cost;      // counted pops of the failing attempt, at most
  uint32_t peak;      // most stack entries it holds at once, at most
  int32_t usable;     // non-zero when the above describes the node
  int32_t single;     // first holds exactly one byte, in byte
  int32_t wide;       // first holds more than 128 bytes
  uint8_t byte;
  // first's bytes when it holds 1 to RX_FEW of them and not the end (else 0)
  uint8_t member_count;
  uint8_t members[RX_FEW];
} RegxBoundFollow;

// The one-byte tests at fixed offsets from the start of an attempt, before
// anything of variable width (strings, one-byte tests, x{n} of a one-byte
// test, group saves): attempts at distinct starts that get past all of them
// are at most as many as the subject has bytes for the rarest one.
enum { RX_PREFIX_TESTS = 6 };
typedef struct RegxPrefix {
  uint32_t count;                     // tests recorded
  uint8_t sets[RX_PREFIX_TESTS][32];  // each test's bytes (never NUL)
  uint8_t wide[RX_PREFIX_TESTS];      // the test takes more than 128 bytes
  // each test's bytes when it takes 1 to RX_FEW of them (else member_count 0)
  uint8_t member_count[RX_PREFIX_TESTS];
  uint8_t members[RX_PREFIX_TESTS][RX_FEW];
  double cost;  // entries an attempt pushes before it passes them
  // Non-zero when a word anchor (\< or \>), or the first test, stands
  // before anything the attempt pushes: an attempt failing there pushes nothing
  uint8_t lead_words;
  uint8_t first_free;
} RegxPrefix;

// A repetition of one one-byte node (x*, [^>]+, .{2,}): the matcher keeps all
// its iterations in one frame on the stack and computes their entries and
// counts instead of running the loop nodes.
enum {
  RX_FRAME_NEVER = 0,
  RX_FRAME_ALWAYS = 1,
  RX_FRAME_LONG = 2,  // when the run of the class there takes RX_FRAME_RUN bytes or more
  RX_FRAME_RUN = 256
};
// What the skip past a class loop's through leaf reads (RegxClassLoop's
// beyond_of)
typedef struct RegxThrough {
  RegxFollow beyond;
  RegxFollow past;
} RegxThrough;

typedef struct RegxClassLoop {
  const RegxNode *loopback;  // the loop's RX_LOOPBACK
  const RegxNode *item;      // the repeated one-byte node
  const RegxNode *follow;    // what follows the loop
  uint32_t min;              // minimum count
  uint32_t max;              // maximum count (255 when unbounded)
  int32_t unbounded;         // non-zero for *, + and {m,}
  RegxFollow after;          // attempts at follow
  int32_t apart;             // after is usable and no byte of the class starts it
  RegxBoundFollow bound;     // attempts at follow, for the push bound
  int32_t bound_apart;       // bound is usable and no byte of the class starts it
  // bound is usable, every byte that starts it is of the class, and the
  // loop is unbounded: where it stops taking, its follower fails at once
  int32_t bound_inside;
  // For the bound on a subject's runs of the class (only for a loop that may
  // take more than a few bytes, of a class that some line bytes stay out of):
  // the class's bytes when at most RX_RUN_BYTES (run_inside), else up to
  // RX_RUN_BYTES bytes outside it (not NUL or LF); run_count 0: no such bound.
  uint8_t run_bytes[8];
  int32_t run_count;
  int32_t run_inside;
  RegxPrefix bound_prefix;  // the follower's tests at fixed offsets, for the push bound
  // When after is not usable because follow is a word anchor: attempts at
  // the anchor's next (usable), for the matcher to skip the starts where the
  // anchor fails (they pop nothing) or the rest fails at its first byte.
  int32_t word;  // non-zero when after_word describes follow->next
  RegxFollow after_word;
  // The class loop that follow starts, when its own follower's attempts
  // are usable: an attempt at follow whose run of that class holds no place
  // where that follower may get past its first byte fails in a way known in
  // advance. Null when not so.
  const struct RegxClassLoop *nested;
  // When after has one leaf and the tests in a row after it hold an exact
  // byte: that byte and its distance from the leaf (0 when none), for the
  // skip to look for it instead of testing every start.
  uint32_t key_offset;
  uint8_t key_byte;
  // When the matcher keeps the loop's iterations in one frame (RX_FRAME_*);
  // else it runs the loop's nodes as the plain run does
  int32_t framed;
  // When one of after's leaves (through, reached by one path) is a one-byte
  // test followed by group closes (RX_CLOSE) and then by a node whose
  // attempts are usable (beyond), or by a group loop's RX_LOOPBACK
  // (loop_back; beyond: attempts at the loop's body, past: at what follows
  // the loop), the skip also passes the starts where that test passes but
  // what follows it fails at its first byte; only when the walk to the leaf
  // enters no repetition, so the group loop's state is the frame's. through
  // null: no such skip. The two walks are few and large, so they have an
  // allocation of their own (owned by the plan, freed with it).
  const RegxNode *through;
  const RegxNode *loop_back;
  struct RegxThrough *beyond_of;
} RegxClassLoop;

// A pattern that is an unanchored run of fixed-width pieces (one-byte nodes,
// strings, x{n} of a one-byte node, groups without alternation): it matches
// at a start exactly when the bytes there pass every piece in turn. Each
// piece is a text (compared byte by byte) or count bytes of one class.
enum { RX_FIXED_PIECES = 12 };
typedef struct RegxFixedPiece {
  uint8_t bitmap[32];  // the class, never holding NUL (unused for a text)
  const char *text;    // the string's text, or null
  uint32_t count;      // bytes the piece takes
} RegxFixedPiece;

typedef struct RegxFixed {
  uint32_t piece_count;  // 0: the pattern is not of this shape
  RegxFixedPiece pieces[RX_FIXED_PIECES];
  const char *anchor_text;  // candidates: occurrences of this string, or
  char anchor_byte;         // of this byte when anchor_text is null
  size_t anchor_offset;     // where the anchor stands from the start of a match
} RegxFixed;

// One piece of a program's main sequence, as the counted bound of a subject
// (regx_plan_fits_subject) reads it: a group's save pair, an alternation
// whose branches hold no loop (its figures are the same for every subject),
// a class loop, a repeated group, an alternation whose branches hold
// loops: RX_PIECE_BRANCHES, then for each branch an RX_PIECE_BRANCH whose
// length pieces follow it; or a gate: tests in a row between two pieces
// that push nothing and stand at fixed offsets from where a way enters them.
enum {
  RX_PIECE_SAVE,
  RX_PIECE_ALT,
  RX_PIECE_LOOP,
  RX_PIECE_GROUP,
  RX_PIECE_BRANCHES,
  RX_PIECE_BRANCH,
  RX_PIECE_GATE
};
// The tests of a gate that the bound reads (the rarest ones), each of 1 to
// RX_FEW bytes
enum { RX_GATE_TESTS = 3 };
typedef struct RegxGate {
  uint8_t count;                        // tests recorded
  uint8_t words;                        // non-zero when a word anchor (\< or \>) stands in it
  uint8_t member_count[RX_GATE_TESTS];  // each test's bytes
  uint8_t members[RX_GATE_TESTS][RX_FEW];
} RegxGate;
// The subject lengths of a piece's bounds by length, shortest first: a
// line is read with the shortest that covers it (most Subject, From and
// Message-Id lines take 64 bytes or fewer, most Received lines 129 to 192)
enum { RX_SUFFIX_LENGTHS = 4 };
static const double regx_suffix_lengths[RX_SUFFIX_LENGTHS] = {64, 192, 256, 1024};
typedef struct RegxBoundPiece {
  int32_t kind;
  // RX_PIECE_SAVE: the save pairs in a row it stands for;
  // RX_PIECE_BRANCHES: its branches; RX_PIECE_BRANCH: the pieces that follow;
  // RX_PIECE_GROUP: the pieces of its body that follow (0: the body is walked)
  uint32_t length;
  double count;  // RX_PIECE_ALT: counted pops of one entry (its resumes and branches)
  double ways;   // RX_PIECE_ALT: ways out of one entry
  double depth;  // RX_PIECE_ALT: most entries one path holds
  const struct RegxClassLoop *loop;  // RX_PIECE_LOOP
  const struct RegxNode *group;      // RX_PIECE_GROUP: its RX_LOOP node
  // RX_PIECE_BRANCHES: the branch with the most counted pops on a line of a
  // typical length, which the bound reads first (the sum passes the most the
  // caller can use soonest there)
  uint32_t costliest;
  RegxGate gate;  // RX_PIECE_GATE
  // On a plan's own list and its branches' (not inside a group): the rest
  // of the plan's run from this piece entered by one path, on any subject of
  // at most regx_suffix_lengths[k] bytes (index k), bounded by the length
  // alone: its counted pops and the most entries one path holds, rounded up
  // (infinite where no bound is known).
  float suffix_pops[RX_SUFFIX_LENGTHS];
  float suffix_depth[RX_SUFFIX_LENGTHS];
} RegxBoundPiece;

// regx_set_bound_pays: the subjects of the sample, and the most of them the
// bound may fail on for the pattern to keep it (one in eight)
enum { RX_BOUND_SAMPLE = 256, RX_BOUND_SAMPLE_FAILS = RX_BOUND_SAMPLE / 8 };

// Bytes in a row that every match holds at one place, each one of two
// values (the same twice for an exact byte): a required literal that may be
// written with [Xx] classes. A subject without it has no match.
enum { RX_FOLD_BYTES = 32 };
typedef struct RegxFoldRun {
  uint32_t len;     // 0: none
  uint32_t anchor;  // the byte the search looks for first (the rarest)
  uint8_t a[RX_FOLD_BYTES];
  uint8_t b[RX_FOLD_BYTES];
} RegxFoldRun;

// A literal of the main sequence after something of variable width, with the
// program cut after it: the nodes up to the literal, then a success end. On a
// subject that lacks the literal the plain run never gets past it, so it
// runs, pop for pop, as the cut program's would, whose push bound (far
// tighter than the whole program's when much follows) then decides whether
// the absence answers at once.
// A program gets cuts only when its own bound by length, at a limit of
// RX_CUTS_LIMIT backtracks (the module's default), covers fewer than
// RX_CUTS_LENGTH bytes: on shorter lines its own bound already decides.
enum { RX_CUTS = 2, RX_CUTS_LIMIT = 25000, RX_CUTS_LENGTH = 1024 };
typedef struct RegxCut {
  const char *text;     // the literal: an RX_STRING's text, or byte
  char byte[2];         // a one-byte literal as a string
  RegxPattern pattern;  // the cut program and its own plan (its cuts none);
                        // its nodes are copies that own no bitmap or text
} RegxCut;

// Derived at compile time for the matcher's shortcuts (regx_plan.cpp); one
// block: the record, then its class loops, its bound pieces, and its fixed
// shape and prefix when it has them. Each class loop's RX_LOOP node
// points at its entry in arg.word; the plain matcher ignores both.
typedef struct RegxPlan {
  RegxFollow scan;   // attempts after a leading RX_SCAN
  const char *lead;  // text of the RX_STRING right after a leading RX_SCANCHAR, or null
  // Class loop (minimum 1 or more) right after a leading RX_SCAN, when what
  // follows it cannot start with a byte of its class: the starts inside one
  // run of that class are settled together. Null when not so.
  const struct RegxClassLoop *lead_loop;
  // A literal every match contains (the longest string or character of the
  // program's main sequence), or null. When a subject lacks it there is no
  // match, and the call can say so at once when no count is wanted and the
  // bound on the pushes of the plain run keeps both the count within the
  // limit and the stack within its capacity.
  const char *required;
  int32_t bounded;  // non-zero when the push bound exists
  // Non-zero once the bound by a subject's byte counts alone fell short for
  // this pattern: regx_plan_fits_subject then reads the subject's runs at
  // once. Read and written atomically.
  int32_t counts_short;
  // Of the first RX_BOUND_SAMPLE subjects regx_set_fits was asked about:
  // how many were asked (counting on past the sample) and how many the
  // bound failed on. Read and written atomically.
  uint32_t bound_asked;
  uint32_t bound_failed;
  // The last limit asked about (high 32 bits) and the longest subject whose
  // bound fits it, plus 1 (low 32 bits; 0 when none fits). Read and written
  // as one atomic word, so concurrent calls see a consistent pair; its zero
  // start is true, since no run fits limit 0.
  uint64_t fit;
  char required_byte[2];  // a lone required character as a string
  // The fixed-width shape of the program, for a yes/no answer without a
  // count when the push bound keeps the plain run within limit and stack;
  // null when the program is not of that shape.
  RegxFixed *fixed;
  uint32_t loop_count;   // entries in loops
  RegxClassLoop *loops;  // inside this block
  // The main sequence after the scan node as pieces, when every piece is
  // one of RegxBoundPiece's kinds, branches included (else piece_count is 0
  // and the bound walks the nodes).
  uint32_t piece_count;
  RegxBoundPiece *pieces;  // inside this block
  RegxPrefix *prefix;      // of an RX_SCAN program; null when it has no tests
  // A required run longer than required (len 0 when none), used as it is
  RegxFoldRun fold;
  // The cuts, in the order of their literals in the program; owned
  uint32_t cut_count;
  RegxCut *cuts;
} RegxPlan;

// Byte class table (bits below), fold table
enum {
  RX_CL_ALPHA = 1 << 0,
  RX_CL_UPPER = 1 << 1,
  RX_CL_LOWER = 1 << 2,
  RX_CL_DIGIT = 1 << 3,
  RX_CL_ALNUM = 1 << 4,
  RX_CL_SPACE = 1 << 5,
  RX_CL_PRINT = 1 << 6,
  RX_CL_PUNCT = 1 << 7,
  RX_CL_GRAPH = 1 << 8,
  RX_CL_CNTRL = 1 << 9,
  RX_CL_XDIGIT = 1 << 10,
  RX_CL_BLANK = 1 << 11,
};
extern const uint16_t regx_class_table[256];
extern const uint8_t regx_fold_table[256];

static inline bool regx_bit(const uint8_t *bitmap, unsigned char c) {
  return (bitmap[c >> 3] >> (c & 7)) & 1;
}
static inline void regx_set_bit(uint8_t *bitmap, unsigned char c) {
  bitmap[c >> 3] = (uint8_t)(bitmap[c >> 3] | (1u << (c & 7)));
}
static inline bool regx_is_word(unsigned char c) {
  return (regx_class_table[c] & RX_CL_ALNUM) != 0 || c == '_';
}

// The state of the loops of a pattern with more than REGX_LOOP_STATES of
// them: one block, the record then the two arrays.
typedef struct RegxLoopState {
  const char **pos;  // per loop: where its current iteration began
  uint8_t *cur;      // per loop: its iteration count
} RegxLoopState;

// regx_one_byte - whether a node tests one byte (RX_CHAR, RX_CHAR2, RX_SET,
// RX_NSET, RX_NSET_NL, RX_ANY, RX_ANY_NL)
static inline bool regx_one_byte(const RegxNode *n) {
  switch (n->kind) {
    case RX_CHAR:
    case RX_CHAR2:
    case RX_SET:
    case RX_NSET:
    case RX_NSET_NL:
    case RX_ANY:
    case RX_ANY_NL:
      return true;
    default:
      return false;
  }
}

// regx_inner_node - whether a node is one that a walk along a list never
// steps onto: a chain's RX_FAIL, RX_RESTORE, or a repetition's inner nodes
static inline bool regx_inner_node(const RegxNode *n) {
  return n->kind == RX_FAIL || n->kind == RX_RESTORE || n->kind == RX_LOOPBACK ||
         n->kind == RX_COUNT || n->kind == RX_BODY;
}

// A repetition read from its RX_LOOP node: RX_LOOP, RX_LOOPBACK, RX_COUNT and
// RX_BODY in a row, the body from body to the RX_LOOPBACK, after it follow.
typedef struct RegxGroupLoop {
  const RegxNode *loopback;
  const RegxNode *body;    // first node of an iteration
  const RegxNode *follow;  // what follows the loop
  uint32_t min;
  uint32_t max;
  uint32_t width;  // fewest bytes one iteration takes (at most 255)
  bool unbounded;
  // Whether the set automaton and the push bound take the repetition as the
  // plain search of its body: every iteration takes a byte or more (so the
  // matcher's empty-iteration checks never act) and the maximum is not 0; or
  // it is x? of a body that may be empty, where those checks either fail the
  // empty iteration or go on after the loop, where the entry that leaves the
  // loop goes on too, at the same place: a yes/no answer is the same, and the
  // checks push nothing the bound does not count.
  bool plain;
} RegxGroupLoop;

// regx_group_loop - the parts of the repetition at an RX_LOOP node of a
// program whose plan is built
RegxGroupLoop regx_group_loop(const RegxNode *loop);

// regx_alt_end - the node after an alternation chain's RX_ALT nodes: its
// RX_FAIL (whose next is the join point) in a well-formed program
static inline const RegxNode *regx_alt_end(const RegxNode *alt) {
  while (alt->kind == RX_ALT) {
    alt = alt->next;
  }
  return alt;
}

// Releases every block of a chain and what its nodes own.
void regx_release_blocks(RegxBlock *blocks);

// Builds the plan of a compiled program and links its class loops; 0 or
// REGX_ESPACE. *plan stays null when no shortcut applies.
int regx_plan_build(RegxPattern *pattern, RegxPlan **plan);

// Releases a plan (null accepted) with its cuts.
void regx_plan_release(RegxPlan *plan);

// regx_plan_longest - the longest subject on which the plain run provably
// stays within limit backtracks and the stack capacities, -1 when none does or
// the plan has no bound; keeps its answer for the last limit in plan->fit
int64_t regx_plan_longest(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit);

// regx_plan_fits_subject - whether the plain run on one subject, as far as
// its counts and runs tell (RegxSubject), provably stays within limit and the
// stack capacities; a tighter bound than regx_plan_longest's. Measures into
// the subject what it needs.
bool regx_plan_fits_subject(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit,
                            struct RegxSubject *subject);

// regx_min_width - the fewest bytes any match of the list from n up to stop
// (or the program's end) takes; a lower bound where the list holds something
// it cannot read (0 then counts for that part)
double regx_min_width(const RegxNode *n, const RegxNode *stop);

// regx_node_class - the bytes (never NUL) a one-byte node (RX_CHAR, RX_CHAR2,
// RX_SET, RX_NSET, RX_NSET_NL, RX_ANY, RX_ANY_NL) takes; false for other kinds
bool regx_node_class(const RegxNode *n, uint8_t *bitmap);

// regx_plan_fits - whether the plain run on a subject of len bytes provably
// stays within limit backtracks and the stack capacities; keeps the longest
// such length for the last limit asked about in plan->fit
bool regx_plan_fits(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit, size_t len);

// regx_plan_decide - whether a fixed-width program (plan->fixed not null)
// matches somewhere in subject; *len gets the subject's length
bool regx_plan_decide(const RegxPlan *plan, const char *subject, size_t *len);

// The matcher without shortcuts: every node runs as the algorithm says. Tests
// compare it with regx_exec.
int regx_exec_plain(const RegxPattern *pattern, const char *subject, uint32_t limit,
                    uint32_t *count, int flags);

#endif
