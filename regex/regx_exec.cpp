// regx_exec - the backtracking matcher. One loop runs the node actions; a
// failure pops the backtrack stack, counting every pop except the save pairs
// that RX_LOOP pushes (RX_LOOPSAVE: the loop's count and position from before
// it ran, put back when backtracking passes below it) and the data entries
// below an RX_RESTORE or an RX_LOOPUNDO marker. The first run uses a small
// stack inside the call; a run that outgrows it starts again, identically, on
// stacks of the full capacity, so the full 200 KB are touched only by
// patterns that need them.
//
// Shortcuts (regx_exec, not regx_exec_plain), each giving the same result and
// count as the plain run: a repetition of one one-byte node keeps all its
// iterations in one RX_FRAME entry pair whose state (iterations left, whether
// the newest one's resume entry is still there) stands for the entries the
// loop nodes would have pushed; capacity is checked against that virtual
// depth. Backtracking into a frame computes the counted pops down to the next
// start of what follows the loop that can get past its first byte, and a
// leading RX_SCAN skips start positions the same way. Tests:
// tests/regx_test.cpp, tests/regx_fast_test.cpp.
#include <string.h>

#include "regx.h"
#include "regx_internal.h"

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

// Result of a run that outgrew a stack smaller than the full capacity
enum { RX_RUN_GROW = -1 };

// Small stacks for the first run of every call
enum { RX_SMALL_ENTRIES = 256, RX_SMALL_RECORDS = 128 };

struct RegxStacks {
  RegxEntry *entries;  // backtrack stack
  size_t entry_cap;    // its capacity
  RegxRecord *records; // loop record stack
  size_t record_cap;   // its capacity
};

// regx_push - one entry on the stack; the caller has checked the room
inline void regx_push(RegxEntry *&top, const void *a, const void *b) {
  top->a = a;
  top->b = b;
  top++;
}

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

// regx_follow_may_pass - whether one of the walk's one-byte tests passes at p
bool regx_follow_may_pass(const RegxFollow *f, const char *p) {
  if (f->leaf_count < 0) {
    return true;
  }
  unsigned char c = (unsigned char)*p;
  for (int i = 0; i < f->leaf_count; i++) {
    const RegxNode *n = f->leaves[i];
    switch (n->kind) {
      case RX_CHAR:
        if (c == n->arg.bytes[0]) {
          return true;
        }
        break;
      case RX_CHAR2:
        if (c != 0 && (c == n->arg.bytes[0] || c == n->arg.bytes[1])) {
          return true;
        }
        break;
      case RX_STRING: {
        const char *t = n->arg.text;
        size_t i2 = 0;
        while (t[i2] != 0 && t[i2] == p[i2]) {
          i2++;
        }
        if (t[i2] == 0) {
          return true;
        }
        break;
      }
      case RX_SET:
        if (c != 0 && regx_bit(n->arg.bitmap, c)) {
          return true;
        }
        break;
      default:  // negated sets, any byte, line ends: taken as passing
        return true;
    }
  }
  return false;
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

// regx_count_byte - one of RX_COUNT's argument bytes
inline unsigned char &regx_count_byte(const RegxNode *k, int which) {
  return const_cast<RegxNode *>(k)->arg.bytes[which];
}

// regx_run - one execution on the given stacks; RX_RUN_GROW when a stack
// smaller than the full capacity fills
int regx_run(const RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
             int flags, const RegxStacks &st, bool fast) {
  // Only the groups the pattern has are ever read or written.
  const char *groups[REGX_GROUPS][2];
  uint32_t used = pattern->group_count < REGX_GROUPS - 1 ? pattern->group_count : REGX_GROUPS - 1;
  for (uint32_t g = 0; g <= used; g++) {
    groups[g][0] = nullptr;
    groups[g][1] = nullptr;
  }
  const bool grow = st.entry_cap < REGX_STACK_ENTRIES;
  RegxEntry *const base = st.entries;
  RegxEntry *top = base;
  RegxRecord *const recs = st.records;
  size_t nrec = 0;
  // Entries and records that class loop frames stand for beyond their own;
  // end and rend are where the next push meets either capacity.
  size_t extra = 0;
  size_t rextra = 0;
  RegxEntry *end = base + st.entry_cap;
  size_t rend = st.record_cap;
  const RegxPlan *plan = fast ? pattern->plan : nullptr;
  uint64_t counter = 0;
  const bool notbol = (flags & REGX_NOTBOL) != 0;
  const bool noteol = (flags & REGX_NOTEOL) != 0;

  auto refit = [&] {
    size_t vcap = REGX_STACK_ENTRIES - extra;
    end = base + (st.entry_cap < vcap ? st.entry_cap : vcap);
    size_t rcap = REGX_LOOP_RECORDS - rextra;
    rend = st.record_cap < rcap ? st.record_cap : rcap;
  };

  regx_push(top, &regx_stop, subject);
  const char *s = subject;
  const RegxNode *n = pattern->program;

  for (;;) {
    switch (n->kind) {
      case RX_END:
        if (count != nullptr) {
          *count = (uint32_t)counter;
        }
        return n->arg.word != 0 ? REGX_OK : REGX_NOMATCH;
      case RX_BOL:
        if (s != subject || notbol) {
          goto fail;
        }
        break;
      case RX_BOL_NL:
        if (s == subject ? notbol : s[-1] != '\n') {
          goto fail;
        }
        break;
      case RX_EOL:
        if (*s != 0 || noteol) {
          goto fail;
        }
        break;
      case RX_EOL_NL:
        if (*s != '\n' && (*s != 0 || noteol)) {
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
        if (*s == 0 || ((unsigned char)*s != n->arg.bytes[0] &&
                        (unsigned char)*s != n->arg.bytes[1])) {
          goto fail;
        }
        s++;
        break;
      case RX_STRING: {
        const char *t = n->arg.text;
        size_t i = 0;
        while (t[i] != 0 && t[i] == s[i]) {
          i++;
        }
        if (t[i] != 0) {
          goto fail;
        }
        s += i;
        break;
      }
      case RX_WORDB: {
        bool before = s != subject && regx_is_word((unsigned char)s[-1]);
        bool at = *s != 0 && regx_is_word((unsigned char)*s);
        if (n->arg.word == 0) {
          if ((notbol && s == subject) || before || !at) {
            goto fail;
          }
        } else if (!before || at) {
          goto fail;
        }
        break;
      }
      case RX_NOP:
        break;
      case RX_FAIL:
        goto fail;
      case RX_ALT:
        if (top == end) {
          goto overflow;
        }
        regx_push(top, n->next, s);
        n = n->arg.node;
        continue;
      case RX_OPEN:
        if (n->arg.word < REGX_GROUPS) {
          groups[n->arg.word][0] = s;
          groups[n->arg.word][1] = nullptr;
        }
        break;
      case RX_CLOSE:
        if (n->arg.word < REGX_GROUPS) {
          const RegxNode *next = n->next;
          const char *close = s;
          if (next->kind == RX_LOOPBACK &&
              regx_count_byte(next->next, RX_COUNT_CUR) >=
                  regx_count_byte(next->next, RX_COUNT_MIN) &&
              groups[n->arg.word][0] == s) {
            close = nullptr;
          }
          groups[n->arg.word][1] = close;
        }
        break;
      case RX_SAVE:
        if (end - top < 2) {
          goto overflow;
        }
        if (n->arg.word < REGX_GROUPS) {
          regx_push(top, groups[n->arg.word][0], groups[n->arg.word][1]);
        }
        regx_push(top, n->next, s);
        n = n->next->next;
        continue;
      case RX_CLEAR:
        if (n->arg.word < REGX_GROUPS) {
          groups[n->arg.word][0] = nullptr;
          groups[n->arg.word][1] = nullptr;
        }
        break;
      case RX_BACKREF: {
        const char *from = groups[n->arg.word][0];
        const char *to = groups[n->arg.word][1];
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
        while (plan != nullptr && plan->scan.usable && *s != 0) {
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
            counter += (uint64_t)(t - s) * (plan->scan.cost + 1);
            if (counter > limit) {
              return REGX_ETOOMANY;
            }
            s = t;
            continue;
          }
          if (!regx_follow_may_pass(&plan->scan, s)) {
            counter += plan->scan.cost + 1;
            if (counter > limit) {
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
          counter += total;
          if (counter > limit) {
            return REGX_ETOOMANY;
          }
          s += i;
          if (i < run) {
            break;
          }
        }
        [[fallthrough]];
      case RX_SCAN_NL:
        if (*s != 0) {
          if (top == end) {
            goto overflow;
          }
          regx_push(top, n, s + 1);
        }
        break;
      case RX_SCANCHAR: {
        if (n->arg.bytes[0] == 0) {
          s += strlen(s);
          break;
        }
        if (plan != nullptr && plan->lead != nullptr) {
          // Starts where the leading string does not follow cost one pop each.
          const char *t = strstr(s, plan->lead);
          const char *stop = t != nullptr ? t : s + strlen(s);
          char c = (char)n->arg.bytes[0];
          uint64_t starts = 0;
          for (const char *p = s; p < stop; p++) {
            starts += *p == c;
          }
          counter += starts;
          if (counter > limit) {
            return REGX_ETOOMANY;
          }
          if (t == nullptr) {
            goto fail;
          }
          s = t;
        }
        const char *at = strchr(s, (char)n->arg.bytes[0]);
        if (at == nullptr) {
          goto fail;
        }
        s = at;
        if (top == end) {
          goto overflow;
        }
        regx_push(top, n, s + 1);
        break;
      }
      case RX_LOOP: {
        if (plan != nullptr && n->arg.word != 0) {
          const RegxClassLoop *cl = (const RegxClassLoop *)n->arg.word;
          bool capped = !cl->unbounded && cl->max >= 1;
          size_t k = regx_cl_run(cl->item, s, capped ? cl->max : SIZE_MAX);
          bool leave = capped && k == cl->max;
          size_t size = (size_t)regx_cl_size(cl, (int64_t)k, !leave);
          if ((size_t)(top - base) + extra + size > REGX_STACK_ENTRIES ||
              nrec + rextra + k > REGX_LOOP_RECORDS) {
            return REGX_ESTACK;
          }
          if (!leave && k < cl->min) {
            // Too short a run: no iteration left a resume entry, so failing
            // pops the markers of every iteration and the free save pair.
            counter += (uint64_t)regx_cl_marks(1, (int64_t)k);
            if (counter > limit) {
              return REGX_ETOOMANY;
            }
            goto fail;
          }
          if (end - top < 2 || (k >= 1 && nrec == rend)) {
            goto overflow;
          }
          regx_push(top, s, cl);
          regx_push(top, &regx_frame, (const void *)(uintptr_t)(k * 2 + (leave ? 0 : 1)));
          extra += size - 2;
          if (k >= 1) {
            recs[nrec].len = 1;
            recs[nrec].loop = cl->loopback;
            nrec++;
            rextra += k - 1;
          }
          refit();
          if (leave) {
            n = cl->follow;
            s += k;
            continue;
          }
          goto fail;
        }
        RegxNode *loopback = n->next;
        const RegxNode *k = loopback->next;
        const RegxNode *body = k->next;
        if (end - top < 2) {
          goto overflow;
        }
        regx_push(top, loopback->arg.pos, (const void *)(uintptr_t)regx_count_byte(k, RX_COUNT_CUR));
        regx_push(top, &regx_loopsave, loopback);
        loopback->arg.pos = s;
        regx_count_byte(k, RX_COUNT_CUR) = 0;
        if (regx_count_byte(k, RX_COUNT_MIN) == 0) {
          if (top == end) {
            goto overflow;
          }
          regx_push(top, body->next, s);
        }
        n = body->arg.node;
        continue;
      }
      case RX_COUNT: {
        const RegxNode *body = n->next;
        unsigned char &cur = regx_count_byte(n, RX_COUNT_CUR);
        unsigned char min = regx_count_byte(n, RX_COUNT_MIN);
        unsigned char max = regx_count_byte(n, RX_COUNT_MAX);
        bool unbounded = regx_count_byte(n, RX_COUNT_UNBOUNDED) != 0;
        if (cur < 255) {
          if (top == end) {
            goto overflow;
          }
          cur++;
          regx_push(top, &regx_countundo, n);
        }
        if (cur == max && !unbounded) {
          n = body->next;
        } else if (cur < min || (cur > max && !unbounded)) {
          n = body->arg.node;
        } else {
          if (top == end) {
            goto overflow;
          }
          regx_push(top, body->next, s);
          n = body->arg.node;
        }
        continue;
      }
      case RX_LOOPBACK: {
        RegxNode *loopback = const_cast<RegxNode *>(n);
        const RegxNode *k = n->next;
        const RegxNode *body = k->next;
        const char *p = loopback->arg.pos;
        unsigned char cur = regx_count_byte(k, RX_COUNT_CUR);
        unsigned char min = regx_count_byte(k, RX_COUNT_MIN);
        if (p == nullptr) {
          n = body->next;
          continue;
        }
        if (s == p) {
          if (cur > 0 && cur >= min) {
            goto fail;
          }
          if (!(nrec > 0 && recs[nrec - 1].loop == loopback && recs[nrec - 1].len != 0)) {
            if (min == 0 || cur > 0) {
              goto fail;
            }
            n = body->next;
            continue;
          }
        } else if (s < p) {
          if (min == 0 || cur > 0) {
            goto fail;
          }
          n = body->next;
          continue;
        }
        if (nrec == rend) {
          goto overflow;
        }
        recs[nrec].len = (size_t)(s - p);
        recs[nrec].loop = loopback;
        nrec++;
        if (end - top < 2) {
          goto overflow;
        }
        regx_push(top, &regx_loopundo, p);
        regx_push(top, &regx_loopundo, loopback);
        loopback->arg.pos = s;
        n = k;
        continue;
      }
      default:
        return REGX_EFATAL;
    }
    n = n->next;
    continue;

  fail:
    for (;;) {
      const void *e = top[-1].a;
      if (e == &regx_loopsave) {
        // Popped without counting: the loop's state from before its RX_LOOP.
        RegxNode *loopback = (RegxNode *)top[-1].b;
        loopback->arg.pos = (const char *)top[-2].a;
        regx_count_byte(loopback->next, RX_COUNT_CUR) = (unsigned char)(uintptr_t)top[-2].b;
        top -= 2;
        continue;
      }
      if (e == &regx_frame) {
        const char *s0 = (const char *)top[-2].a;
        const RegxClassLoop *cl = (const RegxClassLoop *)top[-2].b;
        uintptr_t state = (uintptr_t)top[-1].b;
        int64_t j = (int64_t)(state >> 1);
        bool flag = (state & 1) != 0;
        int64_t size = regx_cl_size(cl, j, flag);
        // Resume entries left, from the newest: positions qhi down to min.
        int64_t qlo = cl->min;
        int64_t qtop = flag && regx_cl_resume(cl, j) ? j : j - 1;
        int64_t qhi = qtop >= 0 ? regx_cl_top(cl, qtop) : -1;
        int64_t q = qhi;
        const RegxFollow *after = &cl->after;
        if (qhi >= qlo && after->usable &&
            (size_t)(top - base) + extra + after->peak <= REGX_STACK_ENTRIES) {
          q = regx_cl_find(after, s0, qlo, qhi);
        }
        bool found = q >= qlo;
        int64_t skipped = found ? qhi - q : (qhi >= qlo ? qhi - qlo + 1 : 0);
        int64_t pops = skipped * (int64_t)(1 + after->cost) +
                       (found ? 1 + regx_cl_marks(q + 1, j) : regx_cl_marks(1, j));
        counter += (uint64_t)pops;
        if (counter > limit) {
          return REGX_ETOOMANY;
        }
        int64_t left = found ? q : 0;
        if (j >= 1) {
          if (left == 0) {
            nrec--;
            rextra -= (size_t)(j - 1);
          } else {
            rextra -= (size_t)(j - left);
          }
        }
        if (!found) {
          extra -= (size_t)(size - 2);
          top -= 2;
          refit();
          continue;
        }
        extra -= (size_t)(size - regx_cl_size(cl, q, false));
        top[-1].b = (const void *)(uintptr_t)(q * 2);
        refit();
        n = cl->follow;
        s = s0 + q;
        break;
      }
      if (++counter > limit) {
        return REGX_ETOOMANY;
      }
      --top;
      const void *v = top->b;
      if (e == &regx_countundo) {
        regx_count_byte((const RegxNode *)v, RX_COUNT_CUR)--;
        continue;
      }
      if (e == &regx_loopundo) {
        --top;
        nrec--;
        ((RegxNode *)v)->arg.pos = (const char *)top->b;
        continue;
      }
      n = (const RegxNode *)e;
      s = (const char *)v;
      if (n->kind == RX_RESTORE) {
        if (n->arg.word < REGX_GROUPS) {
          --top;
          groups[n->arg.word][0] = (const char *)top->a;
          groups[n->arg.word][1] = (const char *)top->b;
        }
        continue;
      }
      break;
    }
    continue;

  overflow:
    return grow ? RX_RUN_GROW : REGX_ESTACK;
  }
}

// regx_run_full - a run on stacks of the full capacity, kept out of the common path
__attribute__((noinline)) int regx_run_full(const RegxPattern *pattern, const char *subject,
                                            uint32_t limit, uint32_t *count, int flags,
                                            bool fast) {
  RegxEntry entries[REGX_STACK_ENTRIES];
  RegxRecord records[REGX_LOOP_RECORDS];
  RegxStacks st = {entries, REGX_STACK_ENTRIES, records, REGX_LOOP_RECORDS};
  return regx_run(pattern, subject, limit, count, flags, st, fast);
}

// regx_run_small - a first run on small stacks; a run that outgrows them starts again
int regx_run_small(const RegxPattern *pattern, const char *subject, uint32_t limit,
                   uint32_t *count, int flags, bool fast) {
  RegxEntry entries[RX_SMALL_ENTRIES];
  RegxRecord records[RX_SMALL_RECORDS];
  RegxStacks st = {entries, RX_SMALL_ENTRIES, records, RX_SMALL_RECORDS};
  int rc = regx_run(pattern, subject, limit, count, flags, st, fast);
  if (rc == RX_RUN_GROW) {
    rc = regx_run_full(pattern, subject, limit, count, flags, fast);
  }
  return rc;
}

}  // namespace

// regx_exec_plain - the matcher without shortcuts
int regx_exec_plain(RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
                    int flags) {
  if (pattern == nullptr || pattern->program == nullptr || subject == nullptr) {
    return REGX_EFATAL;
  }
  return regx_run_small(pattern, subject, limit, count, flags, false);
}

// regx_exec - matches subject against the compiled pattern
int regx_exec(RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
              int flags) {
  if (pattern == nullptr || pattern->program == nullptr || subject == nullptr) {
    return REGX_EFATAL;
  }
  RegxPlan *plan = pattern->plan;
  if (count == nullptr && plan != nullptr && plan->fixed.piece_count != 0 && plan->bounded) {
    // Fixed-width pieces: any exact search gives the yes/no answer when the
    // plain run provably stays clear of 18 and 20.
    size_t len;
    bool found = regx_plan_decide(plan, subject, &len);
    if (regx_plan_fits(plan, pattern, limit, len)) {
      return found ? REGX_OK : REGX_NOMATCH;
    }
    return regx_run_small(pattern, subject, limit, count, flags, true);
  }
  if (count == nullptr && plan != nullptr && plan->required != nullptr &&
      (plan->required[1] == 0 ? strchr(subject, plan->required[0])
                              : strstr(subject, plan->required)) == nullptr &&
      regx_plan_fits(plan, pattern, limit, strlen(subject))) {
    return REGX_NOMATCH;  // no match, and provably no 18 or 20 on the way
  }
  return regx_run_small(pattern, subject, limit, count, flags, true);
}
