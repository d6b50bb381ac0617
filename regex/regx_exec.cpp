// regx_exec - the backtracking matcher. One loop runs the node actions; a
// failure pops the backtrack stack, counting every pop except the save pairs
// that RX_LOOP pushes (RX_LOOPSAVE: the loop's count and position from before
// it ran, put back when backtracking passes below it) and the data entries
// below an RX_RESTORE or an RX_LOOPUNDO marker. The first run uses small
// stacks inside the call; a run that outgrows them starts again, identically,
// on stacks of the full capacity, so the full 200 KB are touched only by
// patterns that need them. The loops' positions and counts live in the call
// too (indexed by the number the compiler gave each loop), so a program is
// never written; only a pattern of more than REGX_LOOP_STATES loops keeps
// them in a block of its own (regx_exec_shared).
//
// Shortcuts (regx_exec, not regx_exec_plain), each giving the same result and
// count as the plain run: a repetition of one one-byte node keeps all its
// iterations in one RX_FRAME entry pair whose state (iterations left, whether
// the newest one's resume entry is still there) stands for the entries the
// loop nodes would have pushed; capacity is checked against that virtual
// depth. Backtracking into a frame computes the counted pops down to the next
// start of what follows the loop that can get past its first byte, and a
// leading RX_SCAN skips start positions the same way. A start counts as one
// that gets past its first byte only when the tests in a row after that byte
// (one-byte nodes and strings, which push nothing) pass too: the attempt
// pops the same entries wherever in that row it fails. A follower that is a
// word anchor skips the starts where the anchor fails (one pop each, the
// retry) besides those where what follows it fails at once; a follower that
// is another class loop skips the starts whose run of its class holds no
// place where its own follower gets past its first byte, adding the pops of
// that whole attempt (regx_cl_settle), as long as the stacks provably keep
// room; a follower with a one-byte test right before group closes (x*x, and
// a group loop's end after them) skips the starts where the test passes but
// what follows the closes (the loop's next step) fails at its first byte
// (regx_cl_find_beyond). A class loop runs as a frame only where that saves work (x? and
// x*x on short runs run their nodes; RegxClassLoop's framed). Without a
// count destination, a subject that lacks a required literal, or a required
// run of bytes written as [Xx] classes, is answered 1 at once where the push
// bound keeps the plain run within the limit and the stacks (by the
// subject's length, else by its byte counts); a subject that lacks one of
// the literals the plan cut the program at (RegxCut) likewise, by the push
// bound of the program cut there, which the plain run on it never gets past.
// Tests: tests/regx_test.cpp, tests/regx_fast_test.cpp.
//
// The push bound (regx_plan.cpp) promises that the plain run on a subject
// makes no more counted pops than it says and never holds more stack entries;
// the sets (regx_set.cpp) answer for regx_exec only where it fits the limit.
// So every shortcut here must keep the plain run's result and count exactly
// (tests/regx_fast_test.cpp), and the bound must hold for the plain run
// (tests/regx_set_test.cpp, BoundsKeepThePlainRunWithinTheLimit; and
// tests/kelh_sets_test.cpp through the evaluation).
#include <string.h>

#include "regx.h"
#include "regx_internal.h"
#include "regx_set.h"

namespace {

struct RegxEntry {
  const void *a;  // node, marker, saved group start or saved loop position
  const void *b;  // position, node, saved group end or saved loop count
};

struct RegxRecord {
  size_t len;            // length of the iteration just completed
  const RegxNode *loop;  // the RX_LOOPBACK it belongs to
};

// Stop node: bottom of every backtrack stack; reaching it is "no match".
const RegxNode regx_stop = {RX_END, nullptr, {0}};
// Stack-only markers; only their identity matters.
const RegxNode regx_countundo = {RX_COUNTUNDO, nullptr, {0}};
const RegxNode regx_loopundo = {RX_LOOPUNDO, nullptr, {0}};
const RegxNode regx_loopsave = {RX_LOOPSAVE, nullptr, {0}};
const RegxNode regx_frame = {RX_FRAME, nullptr, {0}};

// Outcomes of a step besides a final result (0 and up): go on at the node and
// position the step set, fail, or meet a full stack.
enum { RX_RUN_GROW = -1, RX_STEP_ON = -2, RX_STEP_FAIL = -3, RX_STEP_FULL = -4 };

// Small stacks and loop states for the first run of every call
enum { RX_SMALL_ENTRIES = 256, RX_SMALL_RECORDS = 128, RX_SMALL_LOOPS = 32 };

struct RegxStacks {
  RegxEntry *entries;   // backtrack stack
  size_t entry_cap;     // its capacity
  RegxRecord *records;  // loop record stack
  size_t record_cap;    // its capacity
  const char **pos;     // per loop: where its current iteration began
  uint8_t *cur;         // per loop: its iteration count
};

// The state of one execution. The steps below take it by reference; the
// current node and position stay in the caller's hands.
struct RegxRun {
  const RegxPattern *pattern;
  const char *subject;
  uint32_t limit;
  bool notbol;           // REGX_NOTBOL
  bool noteol;           // REGX_NOTEOL
  const RegxPlan *plan;  // shortcuts; null in the plain run
  bool grow;             // the stacks are smaller than the full capacity
  RegxEntry *base;       // bottom of the backtrack stack
  RegxEntry *top;        // next free entry
  RegxEntry *end;        // where the next push meets either capacity
  RegxRecord *recs;      // loop record stack
  size_t nrec;           // records in use
  size_t rend;           // where the next record meets either capacity
  size_t entry_cap;      // real capacity of the backtrack stack
  size_t record_cap;     // real capacity of the loop record stack
  // Entries and records that class loop frames stand for beyond their own.
  size_t extra;
  size_t rextra;
  uint64_t counter;  // backtracks so far
  const char **pos;  // loop positions by loop number
  uint8_t *cur;      // loop counts by loop number
  const char *groups[REGX_GROUPS][2];
};

// regx_push - one entry on the stack; the caller has checked the room
inline void regx_push(RegxEntry *&top, const void *a, const void *b) {
  top->a = a;
  top->b = b;
  top++;
}

// regx_refit - recomputes where pushes meet a capacity after a frame changed
inline void regx_refit(RegxRun &r) {
  size_t vcap = REGX_STACK_ENTRIES - r.extra;
  r.end = r.base + (r.entry_cap < vcap ? r.entry_cap : vcap);
  size_t rcap = REGX_LOOP_RECORDS - r.rextra;
  r.rend = r.record_cap < rcap ? r.record_cap : rcap;
}

// regx_loop_of - the number of a loop, from its RX_LOOPBACK
inline uintptr_t regx_loop_of(const RegxNode *loopback) { return loopback->arg.word; }

// Class loop frames. Iteration i (from 1) of a loop with minimum m and
// maximum M pushes a loop-undo pair, a count-undo marker while i <= 255, and
// the resume entry that leaves the loop after it when R(i); RX_LOOP itself
// pushes the save pair and, when m is 0, the resume entry R(0).

// regx_cl_resume - R(q): iteration q leaves a resume entry at its end
inline bool regx_cl_resume(const RegxClassLoop *cl, int64_t q) {
  if (q == 0) {
    return cl->min == 0;
  }
  return q >= (int64_t)cl->min && (cl->unbounded || q < (int64_t)cl->max);
}

// regx_cl_top - the highest q <= b with R(q), for q >= m
inline int64_t regx_cl_top(const RegxClassLoop *cl, int64_t b) {
  if (cl->unbounded) {
    return b;
  }
  int64_t hi = cl->max == 0 ? 0 : (int64_t)cl->max - 1;
  return b < hi ? b : hi;
}

// regx_cl_marks - counted pops of the count-undo markers and loop-undo pairs of iterations a..b
inline int64_t regx_cl_marks(int64_t a, int64_t b) {
  if (a > b) {
    return 0;
  }
  int64_t hi = b < 255 ? b : 255;
  int64_t lo = a - 1 < 255 ? a - 1 : 255;
  return (b - a + 1) + (hi > lo ? hi - lo : 0);
}

// regx_cl_size - entries the plain run would hold for the loop after j
// iterations, with the newest resume entry still there when flag
inline int64_t regx_cl_size(const RegxClassLoop *cl, int64_t j, bool flag) {
  int64_t lo = cl->min > 1 ? (int64_t)cl->min : 1;
  int64_t hi = regx_cl_top(cl, j);
  int64_t resumes = hi >= lo ? hi - lo + 1 : 0;
  int64_t size = 2 + 2 * j + (j < 255 ? j : 255) + resumes;
  if (regx_cl_resume(cl, 0) && (j >= 1 || flag)) {
    size++;
  }
  if (j >= 1 && regx_cl_resume(cl, j) && !flag) {
    size--;
  }
  return size;
}

// regx_cl_run - how many bytes from s the loop's one-byte node takes, at most cap
size_t regx_cl_run(const RegxNode *item, const char *s, size_t cap) {
  const unsigned char *p = (const unsigned char *)s;
  size_t i = 0;
  switch (item->kind) {
    case RX_ANY:
      return strnlen(s, cap);
    case RX_ANY_NL:
      while (i < cap && p[i] != 0 && p[i] != '\n') {
        i++;
      }
      return i;
    case RX_CHAR:
      while (i < cap && p[i] == item->arg.bytes[0]) {
        i++;
      }
      return i;
    case RX_CHAR2:
      while (i < cap && p[i] != 0 && (p[i] == item->arg.bytes[0] || p[i] == item->arg.bytes[1])) {
        i++;
      }
      return i;
    case RX_SET:
      while (i < cap && p[i] != 0 && regx_bit(item->arg.bitmap, p[i])) {
        i++;
      }
      return i;
    case RX_NSET_NL:
      while (i < cap && p[i] != 0 && p[i] != '\n' && !regx_bit(item->arg.bitmap, p[i])) {
        i++;
      }
      return i;
    default:  // RX_NSET
      while (i < cap && p[i] != 0 && !regx_bit(item->arg.bitmap, p[i])) {
        i++;
      }
      return i;
  }
}

// regx_string_at - the length of the text (never empty) when s begins with
// it, else 0
inline size_t regx_string_at(const char *t, const char *s) {
  size_t i = 0;
  while (t[i] != 0 && t[i] == s[i]) {
    i++;
  }
  return t[i] == 0 ? i : 0;
}

// regx_byte_passes - whether a one-byte node takes the byte c (as the
// interpreter tests it); other kinds are taken as passing
inline bool regx_byte_passes(const RegxNode *n, unsigned char c) {
  switch (n->kind) {
    case RX_CHAR:
      return c == n->arg.bytes[0];
    case RX_CHAR2:
      return c != 0 && (c == n->arg.bytes[0] || c == n->arg.bytes[1]);
    case RX_SET:
      return c != 0 && regx_bit(n->arg.bitmap, c);
    case RX_NSET_NL:
      return c != 0 && c != '\n' && !regx_bit(n->arg.bitmap, c);
    case RX_NSET:
      return c != 0 && !regx_bit(n->arg.bitmap, c);
    case RX_ANY_NL:
      return c != 0 && c != '\n';
    case RX_ANY:
      return c != 0;
    default:
      return true;
  }
}

// regx_tests_pass - whether the tests from n in a row (one-byte nodes and
// strings, which push nothing) may all pass from p: false only when one of
// them fails, so that the attempt fails there as it would at n
bool regx_tests_pass(const RegxNode *n, const char *p) {
  for (int steps = 0; n != nullptr && steps < 32; steps++) {
    if (n->kind == RX_STRING) {
      size_t len = regx_string_at(n->arg.text, p);
      if (len == 0) {
        return false;
      }
      p += len;
    } else if (regx_one_byte(n)) {
      if (!regx_byte_passes(n, (unsigned char)*p)) {
        return false;
      }
      p++;
    } else {
      return true;
    }
    n = n->next;
  }
  return true;
}

// regx_follow_may_pass - whether one of the walk's one-byte tests passes at p,
// together with the tests in a row after it
bool regx_follow_may_pass(const RegxFollow *f, const char *p) {
  if (f->leaf_count < 0) {
    return true;
  }
  for (int i = 0; i < f->leaf_count; i++) {
    if (regx_tests_pass(f->leaves[i], p)) {
      return true;
    }
  }
  return false;
}

// regx_word_passes - whether the word anchor wb passes at p
inline bool regx_word_passes(const RegxRun &r, const RegxNode *wb, const char *p) {
  bool before = p != r.subject && regx_is_word((unsigned char)p[-1]);
  bool at = *p != 0 && regx_is_word((unsigned char)*p);
  if (wb->arg.word == 0) {
    return !(r.notbol && p == r.subject) && !before && at;
  }
  return before && !at;
}

// regx_cl_find_word - regx_cl_find for a follower that is a word anchor:
// adds the counted pops of the skipped attempts (with their retries) to *pops
int64_t regx_cl_find_word(const RegxRun &r, const RegxClassLoop *cl, const char *s0, int64_t lo,
                          int64_t hi, uint64_t *pops) {
  const RegxFollow *f = &cl->after_word;
  const unsigned char *p = (const unsigned char *)s0;
  int64_t q = hi;
  for (; q >= lo; q--) {
    if (!regx_word_passes(r, cl->follow, s0 + q)) {
      *pops += 1;
    } else if (f->accept[p[q]] == 0 || !regx_follow_may_pass(f, s0 + q)) {
      *pops += 1 + f->cost;
    } else {
      break;
    }
  }
  return q;
}

// regx_cl_find - the highest q in [lo, hi] where an attempt at s0 + q can get
// past its first byte, or lo - 1
int64_t regx_cl_find(const RegxFollow *f, const char *s0, int64_t lo, int64_t hi) {
  const unsigned char *p = (const unsigned char *)s0;
  int64_t q = hi;
  for (;; q--) {
    if (f->single) {
      const void *at = q >= lo ? memrchr(s0 + lo, f->byte, (size_t)(q - lo + 1)) : nullptr;
      q = at == nullptr ? lo - 1 : (const char *)at - s0;
    } else {
      while (q >= lo && f->accept[p[q]] == 0) {
        q--;
      }
    }
    if (q < lo || regx_follow_may_pass(f, s0 + q)) {
      return q;
    }
  }
}

// regx_cl_find_keyed - regx_cl_find for a follower with a key byte: only the
// starts with the key at its distance can get past the tests in a row
int64_t regx_cl_find_keyed(const RegxClassLoop *cl, const char *s0, int64_t lo, int64_t hi) {
  const int64_t d = cl->key_offset;
  // Starts whose key would lie past the subject's end fail before it.
  hi -= d - (int64_t)strnlen(s0 + hi, (size_t)d);
  for (int64_t q = hi; q >= lo; q--) {
    const void *at = memrchr(s0 + lo + d, cl->key_byte, (size_t)(q - lo + 1));
    if (at == nullptr) {
      break;
    }
    q = (const char *)at - s0 - d;
    if (regx_follow_may_pass(&cl->after, s0 + q)) {
      return q;
    }
  }
  return lo - 1;
}

// regx_leaf_may_pass - regx_tests_pass for a leaf of a follower's walk, an
// end anchor tested as the interpreter does
bool regx_leaf_may_pass(const RegxRun &r, const RegxNode *leaf, const char *p) {
  if (leaf->kind == RX_EOL) {
    return *p == 0 && !r.noteol;
  }
  if (leaf->kind == RX_EOL_NL) {
    return *p == '\n' || (*p == 0 && !r.noteol);
  }
  return regx_tests_pass(leaf, p);
}

// regx_fails_at - whether an attempt at what a walk describes fails at its
// first byte at p
inline bool regx_fails_at(const RegxFollow *f, const char *p) {
  return f->accept[(unsigned char)*p] == 0 || !regx_follow_may_pass(f, p);
}

// The attempts that follow a class loop's through leaf, the same for every
// start of one frame: the first, the one its resume entry leads to (or
// null), and the counted entries the group loop's step pushes between
struct RegxBeyond {
  const RegxFollow *first;
  const RegxFollow *then;
  uint64_t pops;
};

// regx_beyond_of - what follows the through leaf of a frame at s0: after a
// group loop's end, the step of regx_loop_iterate on the loop's present
// count; false when the skip cannot tell (the interpreter then runs every
// start)
bool regx_beyond_of(const RegxRun &r, const RegxClassLoop *cl, const char *s0, RegxBeyond *out) {
  out->first = &cl->beyond_of->beyond;
  out->then = nullptr;
  out->pops = 0;
  const RegxNode *loopback = cl->loop_back;
  if (loopback == nullptr) {
    return true;
  }
  const RegxNode *k = loopback->next;
  const uintptr_t loop = regx_loop_of(loopback);
  // Every start ends the iteration past where it began, with a record free.
  if (r.pos[loop] == nullptr || r.pos[loop] > s0 || r.nrec + r.rextra + 1 >= REGX_LOOP_RECORDS) {
    return false;
  }
  const uint8_t cur = r.cur[loop];
  const uint8_t next = cur < 255 ? (uint8_t)(cur + 1) : cur;
  const uint8_t min = k->arg.bytes[RX_COUNT_MIN];
  const uint8_t max = k->arg.bytes[RX_COUNT_MAX];
  const bool unbounded = k->arg.bytes[RX_COUNT_UNBOUNDED] != 0;
  out->pops = 1 + (cur < 255 ? 1 : 0);  // the loop-undo pair, the count-undo marker
  if (next == max && !unbounded) {
    out->first = &cl->beyond_of->past;
  } else if (!(next < min || (next > max && !unbounded))) {
    out->pops++;  // the resume entry that leaves the loop after the body fails
    out->then = &cl->beyond_of->past;
  }
  return out->first->usable && (out->then == nullptr || out->then->usable);
}

// regx_cl_find_beyond - regx_cl_find for a follower with a through leaf
// (cl->through): skips the starts where every leaf fails, and those where
// only the through leaf passes and what follows its group closes fails at
// its first byte, adding their counted pops (with their retries) to *pops.
// The closes it skips write group ends that nothing reads: the group's
// restore entry lies below the frame, and every way out of the group's body
// passes its close again.
int64_t regx_cl_find_beyond(const RegxRun &r, const RegxClassLoop *cl, const char *s0, int64_t lo,
                            int64_t hi, uint64_t *pops) {
  RegxBeyond next;
  if (!regx_beyond_of(r, cl, s0, &next)) {
    return hi;
  }
  const RegxFollow *f = &cl->after;
  const RegxNode *through = cl->through;
  const uint64_t failed = 1 + f->cost;
  const uint64_t beyond =
      failed + next.pops + next.first->cost + (next.then != nullptr ? next.then->cost : 0);
  const bool others = f->leaf_count > 1;
  const RegxFollow *first = next.first;
  const RegxFollow *then = next.then;
  int64_t q = hi;
  for (; q >= lo; q--) {
    if (others) {
      if (f->usable) {
        // The starts where every leaf fails at its first byte go by at once.
        const int64_t c = regx_cl_find(f, s0, lo, q);
        *pops += (uint64_t)(q - c) * failed;
        q = c;
        if (q < lo) {
          break;
        }
      }
      bool other = false;
      for (int i = 0; i < f->leaf_count && !other; i++) {
        other = f->leaves[i] != through && regx_leaf_may_pass(r, f->leaves[i], s0 + q);
      }
      if (other) {
        break;
      }
    }
    const unsigned char c = (unsigned char)s0[q];
    if (!regx_byte_passes(through, c)) {
      *pops += failed;
      continue;
    }
    const char *t = s0 + q + 1;
    if ((first->accept[(unsigned char)*t] != 0 && regx_follow_may_pass(first, t)) ||
        (then != nullptr && !regx_fails_at(then, t))) {
      break;
    }
    *pops += beyond;
  }
  return q;
}

// regx_cl_settle - counted pops of a whole attempt at the class loop that takes
// k bytes and whose follower fails at its first byte everywhere, the retry
// of the attempt not included; false when the stack could come near its
// capacity (the interpreter then runs the attempt)
bool regx_cl_settle(const RegxClassLoop *cl, int64_t k, uint64_t *pops) {
  if (k < (int64_t)cl->min) {
    *pops = (uint64_t)regx_cl_marks(1, k);
    return true;
  }
  bool leave = !cl->unbounded && cl->max >= 1 && k == (int64_t)cl->max;
  int64_t size = regx_cl_size(cl, k, !leave);
  if (2 + size + cl->after.peak > REGX_STACK_ENTRIES || k > REGX_LOOP_RECORDS) {
    return false;
  }
  int64_t qtop = leave ? k - 1 : k;
  int64_t qhi = qtop >= 0 ? regx_cl_top(cl, qtop) : -1;
  int64_t skipped = qhi >= (int64_t)cl->min ? qhi - (int64_t)cl->min + 1 : 0;
  *pops = (uint64_t)((leave ? cl->after.cost : 0) + skipped * (int64_t)(1 + cl->after.cost) +
                     regx_cl_marks(1, k));
  return true;
}

// regx_cl_find_nested - regx_cl_find for a follower that is a class loop
// (cl->nested): skips the starts whose run of that class holds no place where
// its own follower may get past its first byte, adding their counted pops
// (with their retries) to *pops, while the stacks provably keep room
int64_t regx_cl_find_nested(const RegxRun &r, const RegxClassLoop *cl, const char *s0, int64_t lo,
                            int64_t hi, uint64_t *pops) {
  const RegxClassLoop *in = cl->nested;
  const bool capped = !in->unbounded && in->max >= 1;
  const size_t depth = (size_t)(r.top - r.base) + r.extra;
  const int64_t min = in->min;
  // The end of the run of the start above, of an unbounded loop: a start
  // one lower inside that run adds one place to look at, the one min bytes
  // after it (the places above were looked at already).
  const char *end = nullptr;
  int64_t q = hi;
  for (; q >= lo; q--) {
    const char *p = s0 + q;
    int64_t k;
    bool clear;
    if (end != nullptr && regx_cl_run(in->item, p, 1) == 1) {
      k = end - p;
      clear = k < min || !(in->after.accept[(unsigned char)p[min]] &&
                           regx_follow_may_pass(&in->after, p + min));
    } else {
      k = (int64_t)regx_cl_run(in->item, p, capped ? in->max : SIZE_MAX);
      clear = k < min || regx_cl_find(&in->after, p, min, k) < min;
      end = in->unbounded ? p + k : nullptr;
    }
    bool leave = capped && k == (int64_t)in->max;
    uint64_t cost;
    if (!clear ||
        depth + 2 + (size_t)regx_cl_size(in, k, !leave) + in->after.peak > REGX_STACK_ENTRIES ||
        r.nrec + r.rextra + (size_t)k > REGX_LOOP_RECORDS || !regx_cl_settle(in, k, &cost)) {
      break;
    }
    *pops += 1 + cost;
  }
  return q;
}

// regx_scan_skip - the scan shortcut: moves s past the start positions whose
// attempts fail in a way known in advance, adding their counted pops;
// REGX_ETOOMANY when they exceed the limit, else RX_STEP_ON
int regx_scan_skip(RegxRun &r, const char **at) {
  const RegxPlan *plan = r.plan;
  const char *s = *at;
  int rc = RX_STEP_ON;
  while (*s != 0) {
    if (plan->scan.accept[(unsigned char)*s] == 0) {
      // Each skipped start fails at its first byte: its own pops and its retry.
      const char *t = s;
      if (plan->scan.single) {
        t = strchrnul(s, (char)plan->scan.byte);
      } else if (plan->scan.members[0] != 0) {
        t = s + strcspn(s, plan->scan.members);
      } else {
        while (plan->scan.accept[(unsigned char)*t] == 0) {
          t++;
        }
      }
      r.counter += (uint64_t)(t - s) * (plan->scan.cost + 1);
      if (r.counter > r.limit) {
        return REGX_ETOOMANY;
      }
      s = t;
      continue;
    }
    if (!regx_follow_may_pass(&plan->scan, s)) {
      r.counter += plan->scan.cost + 1;
      if (r.counter > r.limit) {
        return REGX_ETOOMANY;
      }
      s++;
      continue;
    }
    const RegxClassLoop *cl = plan->lead_loop;
    if (cl == nullptr) {
      break;
    }
    // Starts inside one run of the loop's class, with a run end the
    // follower rejects: every attempt fails in a way known in advance.
    size_t run = regx_cl_run(cl->item, s, SIZE_MAX);
    if (run == 0 || cl->after.accept[(unsigned char)s[run]] != 0) {
      break;
    }
    bool capped = !cl->unbounded && cl->max >= 1;
    size_t i = 0;
    uint64_t total = 0;
    uint64_t pops;
    if (capped && run > cl->max && regx_cl_settle(cl, cl->max, &pops)) {
      // Every start at least max bytes before the run's end takes max bytes.
      i = run - cl->max;
      total = i * (pops + 1);
    }
    for (; i < run; i++) {
      size_t k = run - i;
      if (!regx_cl_settle(cl, (int64_t)(capped && k > cl->max ? cl->max : k), &pops)) {
        break;
      }
      total += pops + 1;
    }
    r.counter += total;
    if (r.counter > r.limit) {
      return REGX_ETOOMANY;
    }
    s += i;
    if (i < run) {
      break;
    }
  }
  *at = s;
  return rc;
}

// regx_scan_lead - the leading string shortcut of RX_SCANCHAR: moves s to the
// first place where the whole string follows, adding one pop per start
// position of the scan byte on the way; RX_STEP_FAIL when there is none
int regx_scan_lead(RegxRun &r, const RegxNode *n, const char **at) {
  const char *s = *at;
  const char *t = strstr(s, r.plan->lead);
  const char *stop = t != nullptr ? t : s + strlen(s);
  char c = (char)n->arg.bytes[0];
  uint64_t starts = 0;
  for (const char *p = s; p < stop; p++) {
    starts += *p == c;
  }
  r.counter += starts;
  if (r.counter > r.limit) {
    return REGX_ETOOMANY;
  }
  if (t == nullptr) {
    return RX_STEP_FAIL;
  }
  *at = t;
  return RX_STEP_ON;
}

// regx_framed - whether the class loop at s runs as a frame
inline bool regx_framed(const RegxClassLoop *cl, const char *s) {
  return cl->framed == RX_FRAME_ALWAYS ||
         (cl->framed == RX_FRAME_LONG && regx_cl_run(cl->item, s, RX_FRAME_RUN) == RX_FRAME_RUN);
}

// regx_frame_enter - a class loop as one frame: takes the longest run at s
// and goes on after it when the maximum is reached, else fails into the
// frame, which hands out the shorter runs
int regx_frame_enter(RegxRun &r, const RegxClassLoop *cl, const RegxNode **node, const char **at) {
  const char *s = *at;
  bool capped = !cl->unbounded && cl->max >= 1;
  size_t k = regx_cl_run(cl->item, s, capped ? cl->max : SIZE_MAX);
  bool leave = capped && k == cl->max;
  size_t size = (size_t)regx_cl_size(cl, (int64_t)k, !leave);
  if ((size_t)(r.top - r.base) + r.extra + size > REGX_STACK_ENTRIES ||
      r.nrec + r.rextra + k > REGX_LOOP_RECORDS) {
    return REGX_ESTACK;
  }
  if (!leave && k < cl->min) {
    // Too short a run: no iteration left a resume entry, so failing
    // pops the markers of every iteration and the free save pair.
    r.counter += (uint64_t)regx_cl_marks(1, (int64_t)k);
    if (r.counter > r.limit) {
      return REGX_ETOOMANY;
    }
    return RX_STEP_FAIL;
  }
  if (r.end - r.top < 2 || (k >= 1 && r.nrec == r.rend)) {
    return RX_STEP_FULL;
  }
  regx_push(r.top, s, cl);
  regx_push(r.top, &regx_frame, (const void *)(uintptr_t)(k * 2 + (leave ? 0 : 1)));
  r.extra += size - 2;
  if (k >= 1) {
    r.recs[r.nrec].len = 1;
    r.recs[r.nrec].loop = cl->loopback;
    r.nrec++;
    r.rextra += k - 1;
  }
  regx_refit(r);
  if (!leave) {
    return RX_STEP_FAIL;
  }
  *node = cl->follow;
  *at = s + k;
  return RX_STEP_ON;
}

// regx_frame_back - backtracking into a frame: the counted pops down to the
// next shorter run whose follower can get past its first byte, and a resume
// there (RX_STEP_ON); or, when none is left, the frame's removal (RX_STEP_FAIL:
// backtracking goes on below it)
int regx_frame_back(RegxRun &r, const RegxNode **node, const char **at) {
  const char *s0 = (const char *)r.top[-2].a;
  const RegxClassLoop *cl = (const RegxClassLoop *)r.top[-2].b;
  uintptr_t state = (uintptr_t)r.top[-1].b;
  int64_t j = (int64_t)(state >> 1);
  bool flag = (state & 1) != 0;
  int64_t size = regx_cl_size(cl, j, flag);
  // Resume entries left, from the newest: positions qhi down to min.
  int64_t qlo = cl->min;
  int64_t qtop = flag && regx_cl_resume(cl, j) ? j : j - 1;
  int64_t qhi = qtop >= 0 ? regx_cl_top(cl, qtop) : -1;
  int64_t q = qhi;
  const RegxFollow *after = &cl->after;
  const size_t depth = (size_t)(r.top - r.base) + r.extra;
  bool costed = false;  // the find added the skipped starts' pops itself
  uint64_t skip_pops = 0;
  if (qhi >= qlo && cl->nested != nullptr) {
    costed = true;
    q = regx_cl_find_nested(r, cl, s0, qlo, qhi, &skip_pops);
  } else if (qhi >= qlo && cl->through != nullptr &&
             depth + cl->after.peak + 4 + cl->beyond_of->beyond.peak + cl->beyond_of->past.peak <=
                 REGX_STACK_ENTRIES) {
    costed = true;
    q = regx_cl_find_beyond(r, cl, s0, qlo, qhi, &skip_pops);
  } else if (qhi >= qlo && after->usable && depth + after->peak <= REGX_STACK_ENTRIES) {
    q = cl->key_offset != 0 ? regx_cl_find_keyed(cl, s0, qlo, qhi)
                            : regx_cl_find(after, s0, qlo, qhi);
  } else if (qhi >= qlo && cl->word && depth + cl->after_word.peak <= REGX_STACK_ENTRIES) {
    costed = true;
    q = regx_cl_find_word(r, cl, s0, qlo, qhi, &skip_pops);
  }
  bool found = q >= qlo;
  int64_t skipped = found ? qhi - q : (qhi >= qlo ? qhi - qlo + 1 : 0);
  int64_t pops = (costed ? (int64_t)skip_pops : skipped * (int64_t)(1 + after->cost)) +
                 (found ? 1 + regx_cl_marks(q + 1, j) : regx_cl_marks(1, j));
  r.counter += (uint64_t)pops;
  if (r.counter > r.limit) {
    return REGX_ETOOMANY;
  }
  int64_t left = found ? q : 0;
  if (j >= 1) {
    if (left == 0) {
      r.nrec--;
      r.rextra -= (size_t)(j - 1);
    } else {
      r.rextra -= (size_t)(j - left);
    }
  }
  if (!found) {
    r.extra -= (size_t)(size - 2);
    r.top -= 2;
    regx_refit(r);
    return RX_STEP_FAIL;
  }
  r.extra -= (size_t)(size - regx_cl_size(cl, q, false));
  r.top[-1].b = (const void *)(uintptr_t)(q * 2);
  regx_refit(r);
  *node = cl->follow;
  *at = s0 + q;
  return RX_STEP_ON;
}

// regx_backtrack - the fail handler: pops entries, counting them, until one
// says where to go on (RX_STEP_ON with node and position set); REGX_ETOOMANY
// when the count passes the limit. The stop entry is the resume at the stop
// node, so "no match" comes out of the main loop.
inline int regx_backtrack(RegxRun &r, const RegxNode **node, const char **at) {
  for (;;) {
    const void *e = r.top[-1].a;
    if (e == &regx_loopsave) {
      // Popped without counting: the loop's state from before its RX_LOOP.
      uintptr_t loop = regx_loop_of((const RegxNode *)r.top[-1].b);
      r.pos[loop] = (const char *)r.top[-2].a;
      r.cur[loop] = (uint8_t)(uintptr_t)r.top[-2].b;
      r.top -= 2;
      continue;
    }
    if (e == &regx_frame) {
      int rc = regx_frame_back(r, node, at);
      if (rc == RX_STEP_FAIL) {
        continue;
      }
      return rc;
    }
    if (++r.counter > r.limit) {
      return REGX_ETOOMANY;
    }
    --r.top;
    const void *v = r.top->b;
    if (e == &regx_countundo) {
      r.cur[regx_loop_of((const RegxNode *)v)]--;
      continue;
    }
    if (e == &regx_loopundo) {
      --r.top;
      r.nrec--;
      r.pos[regx_loop_of((const RegxNode *)v)] = (const char *)r.top->b;
      continue;
    }
    const RegxNode *n = (const RegxNode *)e;
    if (n->kind == RX_RESTORE) {
      if (n->arg.word < REGX_GROUPS) {
        --r.top;
        r.groups[n->arg.word][0] = (const char *)r.top->a;
        r.groups[n->arg.word][1] = (const char *)r.top->b;
      }
      continue;
    }
    *node = n;
    *at = (const char *)v;
    return RX_STEP_ON;
  }
}

// regx_loop_enter - RX_LOOP: saves the loop's state, starts its count and
// position afresh, and enters the body (leaving the loop is the alternative
// when the minimum is 0)
inline int regx_loop_enter(RegxRun &r, const RegxNode **node, const char *s) {
  const RegxNode *loopback = (*node)->next;
  const RegxNode *k = loopback->next;
  const RegxNode *body = k->next;
  uintptr_t loop = regx_loop_of(loopback);
  if (r.end - r.top < 2) {
    return RX_STEP_FULL;
  }
  regx_push(r.top, r.pos[loop], (const void *)(uintptr_t)r.cur[loop]);
  regx_push(r.top, &regx_loopsave, loopback);
  r.pos[loop] = s;
  r.cur[loop] = 0;
  if (k->arg.bytes[RX_COUNT_MIN] == 0) {
    if (r.top == r.end) {
      return RX_STEP_FULL;
    }
    regx_push(r.top, body->next, s);
  }
  *node = body->arg.node;
  return RX_STEP_ON;
}

// regx_loop_iterate - RX_LOOPBACK at the end of an iteration: the empty
// iteration check, then the RX_COUNT step (its node follows the RX_LOOPBACK
// and is reached from nowhere else): another iteration first, leaving the
// loop as the alternative, within the bounds
inline int regx_loop_iterate(RegxRun &r, const RegxNode **node, const char *s) {
  const RegxNode *loopback = *node;
  const RegxNode *k = loopback->next;
  const RegxNode *body = k->next;
  uintptr_t loop = regx_loop_of(loopback);
  const char *p = r.pos[loop];
  uint8_t &cur = r.cur[loop];
  uint8_t min = k->arg.bytes[RX_COUNT_MIN];
  if (p == nullptr) {
    *node = body->next;
    return RX_STEP_ON;
  }
  if (s == p) {
    if (cur > 0 && cur >= min) {
      return RX_STEP_FAIL;
    }
    if (!(r.nrec > 0 && r.recs[r.nrec - 1].loop == loopback && r.recs[r.nrec - 1].len != 0)) {
      if (min == 0 || cur > 0) {
        return RX_STEP_FAIL;
      }
      *node = body->next;
      return RX_STEP_ON;
    }
  } else if (s < p) {
    if (min == 0 || cur > 0) {
      return RX_STEP_FAIL;
    }
    *node = body->next;
    return RX_STEP_ON;
  }
  if (r.nrec == r.rend) {
    return RX_STEP_FULL;
  }
  r.recs[r.nrec].len = (size_t)(s - p);
  r.recs[r.nrec].loop = loopback;
  r.nrec++;
  if (r.end - r.top < 2) {
    return RX_STEP_FULL;
  }
  regx_push(r.top, &regx_loopundo, p);
  regx_push(r.top, &regx_loopundo, loopback);
  r.pos[loop] = s;
  // RX_COUNT
  uint8_t max = k->arg.bytes[RX_COUNT_MAX];
  bool unbounded = k->arg.bytes[RX_COUNT_UNBOUNDED] != 0;
  if (cur < 255) {
    if (r.top == r.end) {
      return RX_STEP_FULL;
    }
    cur++;
    regx_push(r.top, &regx_countundo, loopback);
  }
  if (cur == max && !unbounded) {
    *node = body->next;
  } else if (cur < min || (cur > max && !unbounded)) {
    *node = body->arg.node;
  } else {
    if (r.top == r.end) {
      return RX_STEP_FULL;
    }
    regx_push(r.top, body->next, s);
    *node = body->arg.node;
  }
  return RX_STEP_ON;
}

// regx_run - one execution on the given stacks; RX_RUN_GROW when a stack
// smaller than the full capacity fills. The switch is the plain interpreter;
// the steps with a name hold what is longer than a few lines.
int regx_run(const RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
             int flags, const RegxStacks &st, bool fast) {
  RegxRun r;
  r.pattern = pattern;
  r.subject = subject;
  r.limit = limit;
  r.notbol = (flags & REGX_NOTBOL) != 0;
  r.noteol = (flags & REGX_NOTEOL) != 0;
  r.plan = fast ? pattern->plan : nullptr;
  r.grow = st.entry_cap < REGX_STACK_ENTRIES;
  r.base = st.entries;
  r.top = st.entries;
  r.recs = st.records;
  r.nrec = 0;
  r.entry_cap = st.entry_cap;
  r.record_cap = st.record_cap;
  r.extra = 0;
  r.rextra = 0;
  r.counter = 0;
  r.pos = st.pos;
  r.cur = st.cur;
  regx_refit(r);
  // Only the groups the pattern has are ever read or written.
  uint32_t used = pattern->group_count < REGX_GROUPS - 1 ? pattern->group_count : REGX_GROUPS - 1;
  for (uint32_t g = 0; g <= used; g++) {
    r.groups[g][0] = nullptr;
    r.groups[g][1] = nullptr;
  }

  regx_push(r.top, &regx_stop, subject);
  const char *s = subject;
  const RegxNode *n = pattern->program;
  int rc;
  for (;;) {
    switch (n->kind) {
      case RX_END:
        if (count != nullptr) {
          *count = (uint32_t)r.counter;
        }
        return n->arg.word != 0 ? REGX_OK : REGX_NOMATCH;
      case RX_BOL:
        if (s != subject || r.notbol) {
          goto fail;
        }
        break;
      case RX_BOL_NL:
        if (s == subject ? r.notbol : s[-1] != '\n') {
          goto fail;
        }
        break;
      case RX_EOL:
        if (*s != 0 || r.noteol) {
          goto fail;
        }
        break;
      case RX_EOL_NL:
        if (*s != '\n' && (*s != 0 || r.noteol)) {
          goto fail;
        }
        break;
      case RX_ANY:
        if (*s == 0) {
          goto fail;
        }
        s++;
        break;
      case RX_ANY_NL:
        if (*s == 0 || *s == '\n') {
          goto fail;
        }
        s++;
        break;
      case RX_SET:
        if (*s == 0 || !regx_bit(n->arg.bitmap, (unsigned char)*s)) {
          goto fail;
        }
        s++;
        break;
      case RX_NSET_NL:
        if (*s == '\n') {
          goto fail;
        }
        [[fallthrough]];
      case RX_NSET:
        if (*s == 0 || regx_bit(n->arg.bitmap, (unsigned char)*s)) {
          goto fail;
        }
        s++;
        break;
      case RX_CHAR:
        if ((unsigned char)*s != n->arg.bytes[0]) {
          goto fail;
        }
        s++;
        break;
      case RX_CHAR2:
        if (*s == 0 ||
            ((unsigned char)*s != n->arg.bytes[0] && (unsigned char)*s != n->arg.bytes[1])) {
          goto fail;
        }
        s++;
        break;
      case RX_STRING: {
        size_t len = regx_string_at(n->arg.text, s);
        if (len == 0) {
          goto fail;
        }
        s += len;
        break;
      }
      case RX_WORDB:
        if (!regx_word_passes(r, n, s)) {
          goto fail;
        }
        break;
      case RX_NOP:
        break;
      case RX_FAIL:
        goto fail;
      case RX_ALT:
        if (r.top == r.end) {
          goto overflow;
        }
        regx_push(r.top, n->next, s);
        n = n->arg.node;
        continue;
      case RX_OPEN:
        if (n->arg.word < REGX_GROUPS) {
          r.groups[n->arg.word][0] = s;
          r.groups[n->arg.word][1] = nullptr;
        }
        break;
      case RX_CLOSE:
        if (n->arg.word < REGX_GROUPS) {
          // A group that is a loop's whole body and matched empty after the
          // minimum is reached keeps no end.
          const RegxNode *next = n->next;
          const char *close = s;
          if (next->kind == RX_LOOPBACK &&
              r.cur[regx_loop_of(next)] >= next->next->arg.bytes[RX_COUNT_MIN] &&
              r.groups[n->arg.word][0] == s) {
            close = nullptr;
          }
          r.groups[n->arg.word][1] = close;
        }
        break;
      case RX_SAVE:
        if (r.end - r.top < 2) {
          goto overflow;
        }
        if (n->arg.word < REGX_GROUPS) {
          regx_push(r.top, r.groups[n->arg.word][0], r.groups[n->arg.word][1]);
        }
        regx_push(r.top, n->next, s);
        n = n->next->next;
        continue;
      case RX_CLEAR:
        if (n->arg.word < REGX_GROUPS) {
          r.groups[n->arg.word][0] = nullptr;
          r.groups[n->arg.word][1] = nullptr;
        }
        break;
      case RX_BACKREF: {
        const char *from = r.groups[n->arg.word][0];
        const char *to = r.groups[n->arg.word][1];
        if (from == nullptr || to == nullptr || to < from) {
          goto fail;
        }
        size_t len = (size_t)(to - from);
        if (strncmp(s, from, len) != 0) {
          goto fail;
        }
        s += len;
        break;
      }
      case RX_SCAN:
        if (r.plan != nullptr && r.plan->scan.usable) {
          rc = regx_scan_skip(r, &s);
          if (rc != RX_STEP_ON) {
            return rc;
          }
        }
        [[fallthrough]];
      case RX_SCAN_NL:
        if (*s != 0) {
          if (r.top == r.end) {
            goto overflow;
          }
          regx_push(r.top, n, s + 1);
        }
        break;
      case RX_SCANCHAR: {
        if (n->arg.bytes[0] == 0) {
          s += strlen(s);
          break;
        }
        if (r.plan != nullptr && r.plan->lead != nullptr) {
          rc = regx_scan_lead(r, n, &s);
          if (rc == RX_STEP_FAIL) {
            goto fail;
          }
          if (rc != RX_STEP_ON) {
            return rc;
          }
        }
        const char *at = strchr(s, (char)n->arg.bytes[0]);
        if (at == nullptr) {
          goto fail;
        }
        s = at;
        if (r.top == r.end) {
          goto overflow;
        }
        regx_push(r.top, n, s + 1);
        break;
      }
      case RX_LOOP:
        rc = r.plan != nullptr && n->arg.word != 0 &&
                     regx_framed((const RegxClassLoop *)n->arg.word, s)
                 ? regx_frame_enter(r, (const RegxClassLoop *)n->arg.word, &n, &s)
                 : regx_loop_enter(r, &n, s);
        goto stepped;
      case RX_LOOPBACK:
        rc = regx_loop_iterate(r, &n, s);
        goto stepped;
      default:
        return REGX_EFATAL;
    }
    n = n->next;
    continue;

  stepped:
    if (rc == RX_STEP_ON) {
      continue;
    }
    if (rc == RX_STEP_FULL) {
      goto overflow;
    }
    if (rc != RX_STEP_FAIL) {
      return rc;
    }
  fail:
    rc = regx_backtrack(r, &n, &s);
    if (rc != RX_STEP_ON) {
      return rc;
    }
    continue;

  overflow:
    return r.grow ? RX_RUN_GROW : REGX_ESTACK;
  }
}

// regx_run_full - a run on stacks of the full capacity, kept out of the common path
__attribute__((noinline)) int regx_run_full(const RegxPattern *pattern, const char *subject,
                                            uint32_t limit, uint32_t *count, int flags, bool fast) {
  RegxEntry entries[REGX_STACK_ENTRIES];
  RegxRecord records[REGX_LOOP_RECORDS];
  const char *pos[REGX_LOOP_STATES];
  uint8_t cur[REGX_LOOP_STATES];
  RegxStacks st = {entries, REGX_STACK_ENTRIES, records, REGX_LOOP_RECORDS, pos, cur};
  if (pattern->loop_count > REGX_LOOP_STATES) {
    // The caller serialises calls on this pattern (regx_exec_shared).
    st.pos = pattern->loop_state->pos;
    st.cur = pattern->loop_state->cur;
  }
  memset(st.pos, 0, pattern->loop_count * sizeof st.pos[0]);
  memset(st.cur, 0, pattern->loop_count * sizeof st.cur[0]);
  return regx_run(pattern, subject, limit, count, flags, st, fast);
}

// regx_run_small - a first run on small stacks; a run that outgrows them starts again
int regx_run_small(const RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
                   int flags, bool fast) {
  if (pattern->loop_count > RX_SMALL_LOOPS) {
    return regx_run_full(pattern, subject, limit, count, flags, fast);
  }
  RegxEntry entries[RX_SMALL_ENTRIES];
  RegxRecord records[RX_SMALL_RECORDS];
  const char *pos[RX_SMALL_LOOPS];
  uint8_t cur[RX_SMALL_LOOPS];
  memset(pos, 0, pattern->loop_count * sizeof pos[0]);
  memset(cur, 0, pattern->loop_count * sizeof cur[0]);
  RegxStacks st = {entries, RX_SMALL_ENTRIES, records, RX_SMALL_RECORDS, pos, cur};
  int rc = regx_run(pattern, subject, limit, count, flags, st, fast);
  if (rc == RX_RUN_GROW) {
    rc = regx_run_full(pattern, subject, limit, count, flags, fast);
  }
  return rc;
}

// regx_fold_present - whether the run occurs in the subject of len bytes;
// the search goes from one occurrence of the anchor byte to the next
bool regx_fold_present(const RegxFoldRun *f, const char *subject, size_t len) {
  if (len < f->len) {
    return false;
  }
  const unsigned char *p = (const unsigned char *)subject;
  const size_t k0 = f->anchor;
  const size_t last = len - f->len + k0;  // the last place the anchor may stand
  const unsigned char a = f->a[k0];
  const unsigned char b = f->b[k0];
  for (size_t at = k0; at <= last; at++) {
    if (a == b) {
      const void *hit = memchr(p + at, a, last - at + 1);
      if (hit == nullptr) {
        return false;
      }
      at = (size_t)((const unsigned char *)hit - p);
    } else if (p[at] != a && p[at] != b) {
      continue;
    }
    const unsigned char *s = p + at - k0;
    size_t k = 0;
    while (k < f->len && (s[k] == f->a[k] || s[k] == f->b[k])) {
      k++;
    }
    if (k == f->len) {
      return true;
    }
  }
  return false;
}

// regx_lacks_text - whether the subject of len bytes lacks the text
inline bool regx_lacks_text(const char *text, const char *subject, size_t len) {
  return (text[1] == 0 ? memchr(subject, text[0], len) : strstr(subject, text)) == nullptr;
}

// regx_lacks_required - whether the subject of len bytes lacks a literal
// every match holds
bool regx_lacks_required(const RegxPlan *plan, const char *subject, size_t len) {
  if (plan->fold.len != 0) {
    return !regx_fold_present(&plan->fold, subject, len);
  }
  return regx_lacks_text(plan->required, subject, len);
}

// regx_fits_subject - whether the plain run on the subject of len bytes
// provably stays within limit and the stacks: by its length, else by its
// byte counts and runs
bool regx_fits_subject(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit,
                       const char *subject, size_t len) {
  if (regx_plan_fits(plan, pattern, limit, len)) {
    return true;
  }
  RegxSubject measures;
  regx_subject_init(&measures, subject, len);
  return regx_plan_fits_subject(plan, pattern, limit, &measures);
}

}  // namespace

// regx_exec_plain - the matcher without shortcuts
int regx_exec_plain(const RegxPattern *pattern, const char *subject, uint32_t limit,
                    uint32_t *count, int flags) {
  if (pattern == nullptr || pattern->program == nullptr || subject == nullptr) {
    return REGX_EFATAL;
  }
  return regx_run_small(pattern, subject, limit, count, flags, false);
}

// regx_exec - matches subject against the compiled pattern
int regx_exec(const RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
              int flags) {
  if (pattern == nullptr || pattern->program == nullptr || subject == nullptr) {
    return REGX_EFATAL;
  }
  const RegxPlan *plan = pattern->plan;
  if (count == nullptr && plan != nullptr && plan->fixed != nullptr && plan->bounded) {
    // Fixed-width pieces: any exact search gives the yes/no answer when the
    // plain run provably stays clear of 18 and 20.
    size_t len;
    bool found = regx_plan_decide(plan, subject, &len);
    if (regx_plan_fits(plan, pattern, limit, len)) {
      return found ? REGX_OK : REGX_NOMATCH;
    }
    return regx_run_small(pattern, subject, limit, count, flags, true);
  }
  if (count == nullptr && plan != nullptr &&
      (plan->cut_count != 0 ||
       (plan->bounded && (plan->fold.len != 0 || plan->required != nullptr)))) {
    size_t len = strlen(subject);
    for (uint32_t i = 0; i < plan->cut_count; i++) {
      // The plain run never gets past the first literal the subject lacks:
      // it runs as the program cut there does.
      const RegxCut *cut = &plan->cuts[i];
      if (regx_lacks_text(cut->text, subject, len)) {
        if (regx_fits_subject(cut->pattern.plan, &cut->pattern, limit, subject, len)) {
          return REGX_NOMATCH;  // no match, and provably no 18 or 20 on the way
        }
        return regx_run_small(pattern, subject, limit, count, flags, true);
      }
    }
    if (plan->bounded && (plan->fold.len != 0 || plan->required != nullptr) &&
        regx_lacks_required(plan, subject, len) &&
        regx_fits_subject(plan, pattern, limit, subject, len)) {
      return REGX_NOMATCH;  // no match, and provably no 18 or 20 on the way
    }
  }
  return regx_run_small(pattern, subject, limit, count, flags, true);
}

// regx_exec_shared - whether calls on the pattern must be serialised
int regx_exec_shared(const RegxPattern *pattern) {
  return pattern != nullptr && pattern->loop_count > REGX_LOOP_STATES;
}
