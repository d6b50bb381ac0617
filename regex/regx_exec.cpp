// regx_exec - the backtracking matcher. One loop runs the node actions; a
// failure pops the backtrack stack, counting every pop except the save pairs
// that RX_LOOP pushes (RX_LOOPSAVE: the loop's count and position from before
// it ran, put back when backtracking passes below it) and the data entries
// below an RX_RESTORE or an RX_LOOPUNDO marker. The first run uses a small
// stack inside the call; a run that outgrows it starts again, identically, on
// stacks of the full capacity, so the full 200 KB are touched only by
// patterns that need them. Tests: tests/regx_test.cpp.
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

// regx_count_byte - one of RX_COUNT's argument bytes
inline unsigned char &regx_count_byte(const RegxNode *k, int which) {
  return const_cast<RegxNode *>(k)->arg.bytes[which];
}

// regx_run - one execution on the given stacks; RX_RUN_GROW when a stack
// smaller than the full capacity fills
int regx_run(const RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
             int flags, const RegxStacks &st) {
  const char *groups[REGX_GROUPS][2];
  memset(groups, 0, sizeof groups);
  const bool grow = st.entry_cap < REGX_STACK_ENTRIES;
  RegxEntry *const base = st.entries;
  RegxEntry *const end = st.entries + st.entry_cap;
  RegxEntry *top = base;
  RegxRecord *const recs = st.records;
  size_t nrec = 0;
  uint64_t counter = 0;
  const bool notbol = (flags & REGX_NOTBOL) != 0;
  const bool noteol = (flags & REGX_NOTEOL) != 0;

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
        if (nrec == st.record_cap) {
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
      if (++counter > limit) {
        return REGX_ETOOMANY;
      }
      --top;
      const void *e = top->a;
      const void *v = top->b;
      while (e == &regx_loopsave) {
        RegxNode *loopback = (RegxNode *)v;
        --top;
        loopback->arg.pos = (const char *)top->a;
        regx_count_byte(loopback->next, RX_COUNT_CUR) = (unsigned char)(uintptr_t)top->b;
        --top;
        e = top->a;
        v = top->b;
      }
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
                                            uint32_t limit, uint32_t *count, int flags) {
  RegxEntry entries[REGX_STACK_ENTRIES];
  RegxRecord records[REGX_LOOP_RECORDS];
  RegxStacks st = {entries, REGX_STACK_ENTRIES, records, REGX_LOOP_RECORDS};
  return regx_run(pattern, subject, limit, count, flags, st);
}

// regx_run_small - a first run on small stacks; a run that outgrows them starts again
int regx_run_small(const RegxPattern *pattern, const char *subject, uint32_t limit,
                   uint32_t *count, int flags) {
  RegxEntry entries[RX_SMALL_ENTRIES];
  RegxRecord records[RX_SMALL_RECORDS];
  RegxStacks st = {entries, RX_SMALL_ENTRIES, records, RX_SMALL_RECORDS};
  int rc = regx_run(pattern, subject, limit, count, flags, st);
  if (rc == RX_RUN_GROW) {
    rc = regx_run_full(pattern, subject, limit, count, flags);
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
  return regx_run_small(pattern, subject, limit, count, flags);
}

// regx_exec - matches subject against the compiled pattern
int regx_exec(RegxPattern *pattern, const char *subject, uint32_t limit, uint32_t *count,
              int flags) {
  return regx_exec_plain(pattern, subject, limit, count, flags);
}
