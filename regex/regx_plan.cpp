// regx_plan - the matcher's shortcuts, derived from a compiled program.
// A failure walk follows every path an attempt can take from a node on a
// byte that every one-byte test rejects, adding up the counted entries it
// pushes (each is popped once, counted, when the attempt fails) and the
// deepest stack it reaches. The walk gives up at anything whose action
// depends on more than the byte: anchors, back-references, group closes,
// loop ends, the end of the program. Tests: tests/regx_fast_test.cpp.
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
      members++;
      out->byte = (uint8_t)c;
    }
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

}  // namespace

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
  if (loops == 0 && !scan.usable && lead == nullptr) {
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
  *plan = built;
  return REGX_OK;
}
