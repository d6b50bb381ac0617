// regx_plan - the matcher's shortcuts, derived from a compiled program.
// A failure walk follows every path an attempt can take from a node on a
// byte that every one-byte test rejects, adding up the counted entries it
// pushes (each is popped once, counted, when the attempt fails) and the
// deepest stack it reaches. The walk gives up at anything whose action
// depends on more than the byte: anchors, back-references, group closes,
// loop ends, the end of the program. Tests: tests/regx_fast_test.cpp.
#include <math.h>
#include <string.h>

#include "regx.h"
#include "regx_internal.h"
#include "tlvpr_mem.h"

namespace {

enum { RX_WALK_BUDGET = 4096 };

struct RegxWalk {
  RegxFollow *out;  // first, cost and peak being built
  int budget;       // nodes the walk may still visit
};

// regx_walk_accept - adds the bytes on which a one-byte test can pass
void regx_walk_accept(RegxWalk *w, const RegxNode *n) {
  uint8_t *first = w->out->first;
  switch (n->kind) {
    case RX_CHAR:
      regx_set_bit(first, n->arg.bytes[0]);
      break;
    case RX_CHAR2:
      regx_set_bit(first, n->arg.bytes[0]);
      regx_set_bit(first, n->arg.bytes[1]);
      break;
    case RX_STRING:
      regx_set_bit(first, (unsigned char)n->arg.text[0]);
      break;
    case RX_SET:
      for (int i = 0; i < 32; i++) {
        first[i] |= n->arg.bitmap[i];
      }
      break;
    case RX_NSET:
    case RX_NSET_NL:
      for (int i = 0; i < 32; i++) {
        first[i] |= (uint8_t)~n->arg.bitmap[i];
      }
      break;
    case RX_EOL:
    case RX_EOL_NL:
      regx_set_bit(first, 0);
      regx_set_bit(first, '\n');
      break;
    default:  // RX_ANY, RX_ANY_NL
      memset(first, 0xFF, 32);
      break;
  }
}

// regx_walk - follows the failing attempt from n with depth entries above its
// start; false when some path leaves what the walk can describe
bool regx_walk(RegxWalk *w, const RegxNode *n, uint32_t depth) {
  for (;;) {
    if (--w->budget < 0 || n == nullptr) {
      return false;
    }
    if (depth > w->out->peak) {
      w->out->peak = depth;
    }
    switch (n->kind) {
      case RX_CHAR:
      case RX_CHAR2:
      case RX_STRING:
      case RX_SET:
      case RX_NSET:
      case RX_NSET_NL:
      case RX_ANY:
      case RX_ANY_NL:
      case RX_EOL:
      case RX_EOL_NL:
        regx_walk_accept(w, n);
        if (w->out->leaf_count >= 0 && w->out->leaf_count < 8) {
          w->out->leaves[w->out->leaf_count++] = n;
        } else {
          w->out->leaf_count = -1;
        }
        return true;
      case RX_FAIL:
        return true;
      case RX_NOP:
      case RX_OPEN:
      case RX_CLEAR:
        n = n->next;
        break;
      case RX_SAVE:
        depth += n->arg.word < REGX_GROUPS ? 2 : 1;
        w->out->cost++;
        n = n->next->next;
        break;
      case RX_ALT:
        w->out->cost++;
        if (!regx_walk(w, n->arg.node, depth + 1)) {
          return false;
        }
        n = n->next;
        break;
      case RX_LOOP: {
        const RegxNode *body = n->next->next->next;
        depth += 2;
        if (n->next->next->arg.bytes[RX_COUNT_MIN] != 0) {
          n = body->arg.node;
          break;
        }
        w->out->cost++;
        if (!regx_walk(w, body->arg.node, depth + 1)) {
          return false;
        }
        n = body->next;
        break;
      }
      default:
        return false;
    }
  }
}

// regx_follow_build - the failure walk from n; usable only when it skips something
void regx_follow_build(const RegxNode *n, RegxFollow *out) {
  memset(out, 0, sizeof *out);
  RegxWalk w = {out, RX_WALK_BUDGET};
  if (!regx_walk(&w, n, 0) || out->peak + 2 > REGX_STACK_ENTRIES) {
    memset(out, 0, sizeof *out);
    return;
  }
  int members = 0;
  for (unsigned c = 0; c < 256; c++) {
    out->accept[c] = regx_bit(out->first, (unsigned char)c) ? 1 : 0;
    if (c != 0 && out->accept[c] != 0) {
      if (members < 16) {
        out->members[members] = (char)c;
      }
      members++;
      out->byte = (uint8_t)c;
    }
  }
  if (members > 16) {
    memset(out->members, 0, sizeof out->members);
  }
  if (members == 255) {
    return;
  }
  out->accept[0] = 1;  // the end of the subject stops every skip loop
  out->usable = 1;
  out->single = members == 1 && !regx_bit(out->first, 0);
}

// regx_class_item - the body of a loop when it is one one-byte node
const RegxNode *regx_class_item(const RegxNode *loop) {
  const RegxNode *loopback = loop->next;
  const RegxNode *item = loopback->next->next->arg.node;
  switch (item->kind) {
    case RX_CHAR:
    case RX_CHAR2:
    case RX_SET:
    case RX_NSET:
    case RX_NSET_NL:
    case RX_ANY:
    case RX_ANY_NL:
      return item->next == loopback ? item : nullptr;
    default:
      return nullptr;
  }
}

// regx_class_apart - no byte of the one-byte node's class can start the follower
bool regx_class_apart(const RegxNode *item, const RegxFollow *after) {
  RegxFollow mine;
  memset(&mine, 0, sizeof mine);
  RegxWalk w = {&mine, 1};
  regx_walk_accept(&w, item);
  for (int i = 0; i < 32; i++) {
    if ((mine.first[i] & after->first[i]) != 0) {
      return false;
    }
  }
  return true;
}

// regx_bound_seq - an upper bound on the entries the plain run pushes over one
// entry into the list from n up to stop (or the final RX_END), and in *exits
// the most ways it can be left; HUGE_VAL when some piece has no bound. A
// class loop over len bytes pushes at most 4 entries per iteration and 3 on
// entry; an alternation one per branch; a group prefix two per RX_SAVE.
double regx_bound_seq(const RegxNode *n, const RegxNode *stop, double len, double *exits,
                      int *budget) {
  double ways = 1;
  double pushes = 0;
  while (n != stop && n->kind != RX_END) {
    if (--*budget < 0) {
      return HUGE_VAL;
    }
    switch (n->kind) {
      case RX_SAVE:
        pushes += ways * 2;
        n = n->next->next;
        break;
      case RX_ALT: {
        const RegxNode *fail = n;
        while (fail->kind == RX_ALT) {
          fail = fail->next;
        }
        if (fail->kind != RX_FAIL) {
          return HUGE_VAL;
        }
        double branch_ways = 0;
        double branch_pushes = 0;
        for (const RegxNode *alt = n; alt->kind == RX_ALT; alt = alt->next) {
          double e;
          double p = regx_bound_seq(alt->arg.node, fail->next, len, &e, budget);
          if (p == HUGE_VAL) {
            return HUGE_VAL;
          }
          branch_pushes += 1 + p;
          branch_ways += e;
        }
        pushes += ways * branch_pushes;
        ways *= branch_ways;
        n = fail->next;
        break;
      }
      case RX_LOOP: {
        if (n->arg.word == 0) {
          return HUGE_VAL;
        }
        const RegxClassLoop *cl = (const RegxClassLoop *)n->arg.word;
        bool open = cl->unbounded || cl->max == 0;
        double iterations = open ? len + 1 : cl->max;
        double e = cl->unbounded ? len + 1 : cl->max == 0 ? 1 : cl->max - cl->min + 1;
        pushes += ways * (3 + 4 * iterations);
        ways *= e;
        n = n->next->next->next->next;
        break;
      }
      case RX_FAIL:
      case RX_RESTORE:
      case RX_LOOPBACK:
      case RX_COUNT:
      case RX_BODY:
        return HUGE_VAL;
      default:
        n = n->next;
        break;
    }
  }
  *exits = ways;
  return pushes;
}

// regx_bound_fits - the plain run on len bytes stays within limit and the stacks
bool regx_bound_fits(const RegxPattern *pattern, uint32_t limit, double len) {
  const RegxNode *start = pattern->program;
  double attempts = 1;
  if (start->kind == RX_SCAN || start->kind == RX_SCAN_NL || start->kind == RX_SCANCHAR) {
    attempts = len + 1;
    start = start->next;
  }
  int budget = RX_WALK_BUDGET;
  double exits;
  double pushes = regx_bound_seq(start, nullptr, len, &exits, &budget);
  if (pushes == HUGE_VAL || pushes + 2 > (double)REGX_STACK_ENTRIES) {
    return false;
  }
  return attempts * (pushes + 2) + 1 <= (double)limit;
}

// regx_required - the longest literal on the program's main sequence after its
// first piece that is not a literal; else, for an unanchored program, the
// longest leading one; else null. An anchored program tests its leading
// literal at once anyway, and a header name is in every line the rule is
// tried on.
const RegxNode *regx_required(const RegxNode *program) {
  const RegxNode *n = program;
  const RegxNode *best[2] = {nullptr, nullptr};  // leading, later
  size_t best_len[2] = {0, 0};
  int later = 0;
  int budget = RX_WALK_BUDGET;
  while (n != nullptr && n->kind != RX_END && --budget > 0) {
    switch (n->kind) {
      case RX_CHAR:
      case RX_STRING: {
        size_t len = n->kind == RX_CHAR ? 1 : strlen(n->arg.text);
        if (len > best_len[later]) {
          best[later] = n;
          best_len[later] = len;
        }
        n = n->next;
        break;
      }
      case RX_OPEN:
      case RX_CLOSE:
      case RX_BOL:
      case RX_BOL_NL:
      case RX_NOP:
        n = n->next;
        break;
      case RX_SAVE:
        later = 1;
        n = n->next->next;
        break;
      case RX_ALT:
        later = 1;
        while (n->kind == RX_ALT) {
          n = n->next;
        }
        n = n->kind == RX_FAIL ? n->next : nullptr;
        break;
      case RX_LOOP:
        later = 1;
        n = n->next->next->next->next;
        break;
      case RX_SCAN:
      case RX_SCAN_NL:
      case RX_SCANCHAR:
        n = n->next;
        break;
      default:
        later = 1;
        n = n->next;
        break;
    }
  }
  if (best[1] != nullptr) {
    return best[1];
  }
  return program->kind == RX_SCANCHAR ? best[0] : nullptr;
}

}  // namespace

// regx_plan_fits - whether the plain run on len bytes is provably within limit
bool regx_plan_fits(RegxPlan *plan, const RegxPattern *pattern, uint32_t limit, size_t len) {
  if (!plan->bounded) {
    return false;
  }
  if (!plan->cache_valid || plan->cache_limit != limit) {
    plan->cache_limit = limit;
    plan->cache_valid = 1;
    plan->cache_none = !regx_bound_fits(pattern, limit, 0);
    plan->cache_max_len = 0;
    if (!plan->cache_none) {
      uint64_t lo = 0;  // fits
      uint64_t hi = 1;
      while (hi < ((uint64_t)1 << 40) && regx_bound_fits(pattern, limit, (double)hi)) {
        lo = hi;
        hi *= 2;
      }
      while (hi - lo > 1) {
        uint64_t mid = lo + (hi - lo) / 2;
        if (regx_bound_fits(pattern, limit, (double)mid)) {
          lo = mid;
        } else {
          hi = mid;
        }
      }
      plan->cache_max_len = lo;
    }
  }
  return !plan->cache_none && len <= plan->cache_max_len;
}

// regx_plan_build - scan shortcut and class loops of the program
int regx_plan_build(RegxPattern *pattern, RegxPlan **plan) {
  *plan = nullptr;
  uint32_t loops = 0;
  for (RegxBlock *b = pattern->arena; b != nullptr; b = b->next) {
    for (RegxNode &node : b->nodes) {
      if (node.kind == RX_LOOP && regx_class_item(&node) != nullptr) {
        loops++;
      }
    }
  }
  RegxFollow scan;
  memset(&scan, 0, sizeof scan);
  if (pattern->program->kind == RX_SCAN) {
    regx_follow_build(pattern->program->next, &scan);
  }
  const RegxNode *program = pattern->program;
  const char *lead = nullptr;
  if (program->kind == RX_SCANCHAR && program->next->kind == RX_OPEN &&
      program->next->next->kind == RX_STRING) {
    lead = program->next->next->arg.text;
  }
  const RegxNode *required = regx_required(program);
  if (loops == 0 && !scan.usable && lead == nullptr && required == nullptr) {
    return REGX_OK;
  }
  RegxPlan *built = (RegxPlan *)tlvpr_calloc(1, sizeof(RegxPlan) + loops * sizeof(RegxClassLoop));
  if (built == nullptr) {
    return REGX_ESPACE;
  }
  built->scan = scan;
  built->lead = lead;
  built->loop_count = loops;
  built->loops = (RegxClassLoop *)(built + 1);
  uint32_t i = 0;
  for (RegxBlock *b = pattern->arena; b != nullptr; b = b->next) {
    for (RegxNode &node : b->nodes) {
      if (node.kind != RX_LOOP || regx_class_item(&node) == nullptr) {
        continue;
      }
      RegxClassLoop *cl = &built->loops[i++];
      const RegxNode *count = node.next->next;
      cl->loopback = node.next;
      cl->item = regx_class_item(&node);
      cl->follow = count->next->next;
      cl->min = count->arg.bytes[RX_COUNT_MIN];
      cl->max = count->arg.bytes[RX_COUNT_MAX];
      cl->unbounded = count->arg.bytes[RX_COUNT_UNBOUNDED];
      regx_follow_build(cl->follow, &cl->after);
      node.arg.word = (uintptr_t)cl;
    }
  }
  const RegxNode *first = program->next != nullptr ? program->next->next : nullptr;
  if (program->kind == RX_SCAN && scan.usable && first != nullptr && first->kind == RX_LOOP &&
      first->arg.word != 0) {
    const RegxClassLoop *cl = (const RegxClassLoop *)first->arg.word;
    if (cl->min >= 1 && cl->after.usable && regx_class_apart(cl->item, &cl->after)) {
      built->lead_loop = cl;
    }
  }
  if (required != nullptr) {
    if (required->kind == RX_CHAR) {
      built->required_byte[0] = (char)required->arg.bytes[0];
      built->required = built->required_byte;
    } else {
      built->required = required->arg.text;
    }
    int budget = RX_WALK_BUDGET;
    double exits;
    const RegxNode *start = program->kind == RX_OPEN ? program : program->next;
    built->bounded = regx_bound_seq(start, nullptr, 0, &exits, &budget) != HUGE_VAL;
  }
  *plan = built;
  return REGX_OK;
}
