// regx_plan - the matcher's shortcuts, derived from a compiled program.
// A failure walk follows every path an attempt can take from a node on a
// byte that every one-byte test rejects, adding up the counted entries it
// pushes (each is popped once, counted, when the attempt fails) and the
// deepest stack it reaches. The walk gives up at anything whose action
// depends on more than the byte: anchors, back-references, group closes,
// loop ends, the end of the program. The push bound's walk passes word
// anchors, group closes and the loop-backs of repetitions whose iterations
// take a byte or more, bounding what they push from above. Tests: tests/regx_fast_test.cpp.
//
// The push bound shared with regx_exec.cpp and regx_set.cpp: for every
// subject of that length (or with those byte counts and runs, RegxSubject)
// the plain run makes at most the bound's counted pops and holds at most its
// stack entries, so where it fits the limit a set's answer is regx_exec's.
// Guarded by tests/regx_set_test.cpp (BoundsKeepThePlainRunWithinTheLimit,
// RunBoundsKeepThePlainRunWithinTheLimit) and, through the evaluation,
// tests/kelh_sets_test.cpp.
#include <emmintrin.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "regx.h"
#include "regx_internal.h"
#include "regx_set.h"
#include "tlvpr_mem.h"

namespace {

enum { RX_WALK_BUDGET = 4096 };

// Tests after a class loop's first follower test that the bound reads (the
// narrowest ones: a rare byte among them already limits the ways)
enum { RX_BOUND_PREFIX_READ = 3 };

struct RegxWalk {
  RegxFollow *out;  // first, cost and peak being built
  int budget;       // nodes the walk may still visit
  // The bound's walk: word anchors are passed, not given up at, and so are
  // the loop-backs of repeated groups that the bound reads as plain searches
  bool past_words;
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
      case RX_WORDB:
        if (!w->past_words) {
          return false;
        }
        n = n->next;
        break;
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
        w->out->enters_loop = 1;
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
      case RX_CLOSE:  // records where a group ends; pushes nothing, never fails
        if (!w->past_words) {
          return false;
        }
        n = n->next;
        break;
      case RX_LOOPBACK: {
        // The end of an iteration of a repetition whose iterations each
        // take a byte or more (so the empty-iteration checks never act):
        // it pushes a loop-undo pair and a count-undo marker, then either
        // starts another iteration, pushing first the entry that leaves the
        // loop, or goes on after the loop. Both ways are walked, each
        // bounded from above: 4 entries, all counted, and both attempts.
        if (!w->past_words) {
          return false;
        }
        const RegxNode *count = n->next;
        const RegxNode *body = count->next;
        if (count->arg.bytes[RX_COUNT_WIDTH] == 0 ||
            (count->arg.bytes[RX_COUNT_MAX] == 0 && count->arg.bytes[RX_COUNT_UNBOUNDED] == 0)) {
          return false;
        }
        depth += 4;
        w->out->cost += 4;
        if (!regx_walk(w, body->arg.node, depth)) {
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
void regx_follow_build(const RegxNode *n, RegxFollow *out, bool past_words = false) {
  memset(out, 0, sizeof *out);
  RegxWalk w = {out, RX_WALK_BUDGET, past_words};
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
  out->wide = members > 128;
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
  return regx_one_byte(item) && item->next == loopback ? item : nullptr;
}

// regx_fixed_loop - for a loop that repeats one one-byte node exactly n times
// (n at least 1), that node, n and what follows the loop; null otherwise
const RegxNode *regx_fixed_loop(const RegxNode *loop, uint32_t *n, const RegxNode **follow) {
  const RegxNode *item = regx_class_item(loop);
  const RegxNode *count = loop->next->next;
  const uint8_t min = count->arg.bytes[RX_COUNT_MIN];
  if (item == nullptr || count->arg.bytes[RX_COUNT_UNBOUNDED] != 0 ||
      min != count->arg.bytes[RX_COUNT_MAX] || min == 0) {
    return nullptr;
  }
  *n = min;
  *follow = count->next->next;
  return item;
}

// regx_members_of - the bytes of a bitmap into members when it holds 1 to
// RX_FEW of them and not NUL (the end); their count, else 0
uint8_t regx_members_of(const uint8_t *bitmap, uint8_t *members) {
  if (regx_bit(bitmap, 0)) {
    return 0;
  }
  uint8_t count = 0;
  for (int b = 1; b < 256; b++) {
    if (regx_bit(bitmap, (unsigned char)b)) {
      if (count == RX_FEW) {
        return 0;
      }
      members[count++] = (uint8_t)b;
    }
  }
  return count;
}

// regx_bound_follow_build - the bound's failure walk from n (see RegxBoundFollow)
void regx_bound_follow_build(const RegxNode *n, RegxBoundFollow *out) {
  RegxFollow walked;
  regx_follow_build(n, &walked, true);
  memcpy(out->first, walked.first, sizeof out->first);
  out->cost = walked.cost;
  out->peak = walked.peak;
  out->usable = walked.usable;
  out->single = walked.single;
  out->wide = walked.wide;
  out->byte = walked.byte;
  out->member_count = regx_members_of(out->first, out->members);
}

// regx_class_apart - no byte of the one-byte node's class can start the
// follower whose first set is first
bool regx_class_apart(const RegxNode *item, const uint8_t *first) {
  RegxFollow mine;
  memset(&mine, 0, sizeof mine);
  RegxWalk w = {&mine, 1, false};
  regx_walk_accept(&w, item);
  for (int i = 0; i < 32; i++) {
    if ((mine.first[i] & first[i]) != 0) {
      return false;
    }
  }
  return true;
}

// regx_class_holds - every byte of first (the end included) is of the
// one-byte node's class
bool regx_class_holds(const RegxNode *item, const uint8_t *first) {
  uint8_t mine[32];
  regx_node_class(item, mine);
  for (int i = 0; i < 32; i++) {
    if ((first[i] & ~mine[i]) != 0) {
      return false;
    }
  }
  return true;
}

// What the bound knows of the subject: its length, and maybe its byte counts
// and runs.
struct RegxCounts {
  const uint32_t *of;         // occurrences of each byte value in the subject; null: unknown
  double len;                 // its length
  bool no_loops;              // a loop makes the bound HUGE_VAL (figures that hold for any subject)
  RegxSubject *subject;       // the subject itself, to measure runs in; null: unknown
  mutable double words = -1;  // its word bytes, once counted (regx_word_places)
  // A branch of a plan's list was closed by its bound by length
  // (regx_bound_pieces): the answer may then exceed the one of the figures
  // alone, so a bound that fails is worked out again without that (cuts).
  mutable bool branch_cut = false;
  bool cuts = true;  // branches of a plan's list may be closed so
};

// regx_word_places - the most places of the subject where a word anchor
// passes, the counts known. \< passes at p only where p holds a word byte
// and p - 1 is the start or holds another byte; \> only where p - 1 holds a
// word byte and p is the end or holds another byte. So the places are at
// most the word bytes, and at most the other bytes plus one (the start, or
// the end).
double regx_word_places(const RegxCounts *c) {
  // The word bytes as runs of consecutive values (digits, letters, '_'),
  // each added up in one pass
  static const struct WordRuns {
    uint16_t from[128];
    uint16_t to[128];
    int count = 0;
    WordRuns() {
      for (int b = 1; b < 256; b++) {
        if (!regx_is_word((unsigned char)b)) {
          continue;
        }
        if (count == 0 || to[count - 1] != b) {
          from[count++] = (uint16_t)b;
        }
        to[count - 1] = (uint16_t)(b + 1);
      }
    }
  } word;
  if (c->words < 0) {
    uint32_t n = 0;
    for (int i = 0; i < word.count; i++) {
      for (int b = word.from[i]; b < word.to[i]; b++) {
        n += c->of[b];
      }
    }
    c->words = n;
  }
  const double other = c->len - c->words + 1;
  return c->words < other ? c->words : other;
}

// regx_subject_measure - the most consecutive bytes of the subject that
// are b (runs[0]) and that are not b (runs[1]), measured once while room lasts
//
// The places of b as a bit per byte, 64 bytes a word (the last bytes read
// with the subject's last sixteen where it has them), then each place in
// turn: a run grows where one follows the last, a stretch without b lies
// between two.
const uint32_t *regx_subject_measure(RegxSubject *s, unsigned char b, uint32_t *runs) {
  const __m128i want = _mm_set1_epi8((char)b);
  uint32_t known = (uint32_t)_mm_movemask_epi8(
      _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)s->measure_bytes), want));
  known &= (1u << s->measure_count) - 1;
  if (known != 0) {
    return s->measure_runs[__builtin_ctz(known)];
  }
  // The figures stay in locals (a store through runs could alias the text).
  const size_t len = s->length;
  const unsigned char *text = s->text;
  size_t next = 0;  // the place after the last b, 0 before the first
  uint32_t run = 0;
  uint32_t most_run = 0;
  size_t most_gap = 0;
  for (size_t at = 0; at < len; at += 64) {
    const uint32_t width = len - at >= 64 ? 64 : (uint32_t)(len - at);
    uint64_t mask = 0;
    uint32_t i = 0;
    for (; i + 16 <= width; i += 16) {
      const __m128i v = _mm_loadu_si128((const __m128i *)(text + at + i));
      mask |= (uint64_t)(uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(v, want)) << i;
    }
    if (i < width && len >= 16) {
      const __m128i v = _mm_loadu_si128((const __m128i *)(text + len - 16));
      const uint32_t last = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(v, want));
      mask |= (uint64_t)(last >> (16 - (width - i))) << i;
    } else {
      for (; i < width; i++) {
        mask |= (uint64_t)(text[at + i] == b) << i;
      }
    }
    while (mask != 0) {
      const size_t place = at + (size_t)__builtin_ctzll(mask);
      mask &= mask - 1;
      const size_t gap = place - next;
      run = gap == 0 ? run + 1 : 1;
      most_run = run > most_run ? run : most_run;
      most_gap = gap > most_gap ? gap : most_gap;
      next = place + 1;
    }
  }
  const size_t tail = len - next;
  most_gap = tail > most_gap ? tail : most_gap;
  runs[0] = most_run;
  runs[1] = (uint32_t)most_gap;
  if (s->measure_count < REGX_SUBJECT_MEASURES) {
    const uint32_t k = s->measure_count++;
    s->measure_bytes[k] = b;
    s->measure_runs[k][0] = runs[0];
    s->measure_runs[k][1] = runs[1];
    return s->measure_runs[k];
  }
  return runs;
}

// regx_class_run - the most bytes of a class loop's class in a row in the
// subject: for a class of which the subject holds one byte value, that
// value's longest run; for another class of a few bytes, the subject's bytes
// of the class; for a wider one, the shortest of the longest stretches
// without one of the first two listed bytes outside the class that the subject
// holds (a run of the class holds none of them)
double regx_class_run(const RegxClassLoop *cl, RegxSubject *s) {
  uint32_t runs[2];
  if (cl->run_inside) {
    uint32_t members = 0;
    int only = 0;
    double sum = 0;
    for (int32_t i = 0; i < cl->run_count; i++) {
      const uint32_t n = s->counts[cl->run_bytes[i]];
      if (n != 0) {
        only = cl->run_bytes[i];
        sum += n;
        members++;
      }
    }
    return members == 1 ? regx_subject_measure(s, (unsigned char)only, runs)[0] : sum;
  }
  // The first two listed outside bytes that the subject holds (the common
  // ones come first): each costs a pass over the subject once.
  double most = (double)s->length;
  int measured = 0;
  for (int32_t i = 0; i < cl->run_count && measured < 2; i++) {
    if (s->counts[cl->run_bytes[i]] != 0) {
      const uint32_t gap = regx_subject_measure(s, cl->run_bytes[i], runs)[1];
      most = gap < most ? gap : most;
      measured++;
    }
  }
  return most;
}

// regx_bits_count - positions of the subject whose byte is in the bitmap
// (bit 0: the end of the subject); all of them when the counts are unknown
//
// The subject holds no NUL, so the counts of the bytes outside the bitmap add
// up to the length less those inside: for a wide bitmap (more than 128 bytes)
// those outside are added up.
double regx_bits_count(const uint8_t *bitmap, bool wide, const RegxCounts *c) {
  if (c->of == nullptr) {
    return c->len + 1;
  }
  const bool outside = wide;
  uint32_t n = 0;
  for (int w = 0; w < 4; w++) {
    uint64_t bits;
    memcpy(&bits, bitmap + 8 * w, sizeof bits);
    bits = outside ? ~bits : bits;
    bits &= w == 0 ? ~(uint64_t)1 : ~(uint64_t)0;
    while (bits != 0) {
      n += c->of[64 * w + __builtin_ctzll(bits)];
      bits &= bits - 1;
    }
  }
  return (outside ? c->len - n : n) + (regx_bit(bitmap, 0) ? 1 : 0);
}

// regx_test_count - positions of the subject whose byte is in the bitmap,
// added up over its members when it has few (the same sum)
inline double regx_test_count(const uint8_t *bitmap, bool wide, const uint8_t *members,
                              uint32_t member_count, const RegxCounts *c) {
  if (member_count == 0 || c->of == nullptr) {
    return regx_bits_count(bitmap, wide, c);
  }
  uint32_t n = 0;
  for (uint32_t i = 0; i < member_count; i++) {
    n += c->of[members[i]];
  }
  return n;
}

// regx_prefix_count - regx_test_count of a prefix's test t
inline double regx_prefix_count(const RegxPrefix *prefix, uint32_t t, const RegxCounts *c) {
  return regx_test_count(prefix->sets[t], prefix->wide[t] != 0, prefix->members[t],
                         prefix->member_count[t], c);
}

// regx_follow_count - positions of the subject (its end included) where an
// attempt at a follower can get past its first byte: those whose byte is in
// the follower's first set
template <class Follow>
double regx_follow_count(const Follow *f, const RegxCounts *c) {
  if (f->single && c->of != nullptr) {
    return c->of[f->byte];
  }
  return regx_bits_count(f->first, f->wide != 0, c);
}
double regx_follow_count(const RegxBoundFollow *f, const RegxCounts *c) {
  if (f->single && c->of != nullptr) {
    return c->of[f->byte];
  }
  return regx_test_count(f->first, f->wide != 0, f->members, f->member_count, c);
}

// regx_bound_loop - a class loop entered by ways paths: its markers and
// resumes, then the ways its follower takes on
inline void regx_bound_loop(const RegxClassLoop *cl, const RegxCounts *c, double *ways,
                            double *count, double *deep) {
  bool open = cl->unbounded || cl->max == 0;
  double iterations = open ? c->len + 1 : cl->max;
  double e = cl->unbounded ? c->len + 1 : cl->max == 0 ? 1 : cl->max - cl->min + 1;
  if (c->subject != nullptr && cl->run_count != 0) {
    // One entry takes at most a run of the class, then tries one more byte;
    // it leaves at most once per byte taken and once before the first.
    const double run = regx_class_run(cl, c->subject) + 1;
    iterations = run < iterations ? run : iterations;
    e = run < e ? run : e;
  }
  *count += *ways * (3 + 4 * iterations);
  *deep += 3;  // and 4 per byte it takes, counted once per path (regx_bound_total)
  if (cl->bound.usable) {
    // The exits of one entry stand at distinct places: those that get past
    // the follower's tests at fixed offsets are at most as many as the
    // subject has bytes for the rarest of them. The others fail on the way,
    // having pushed at most the larger of the two costs.
    double pass = regx_follow_count(&cl->bound, c);
    const RegxPrefix *prefix = &cl->bound_prefix;
    const double fail = cl->bound.cost > prefix->cost ? cl->bound.cost : prefix->cost;
    // An exit that fails at a word anchor, or at the first test when that
    // stands before anything the follower pushes (the walk then ends at it
    // alone, so pass counts its places), pops nothing counted; those that
    // get past them stand at distinct places where they pass.
    double lead = e;
    if (prefix->first_free != 0) {
      lead = pass < lead ? pass : lead;
    }
    if (c->of != nullptr && prefix->lead_words != 0 && (fail > 0 || pass > 1)) {
      const double places = regx_word_places(c);
      lead = places < lead ? places : lead;
      pass = places < pass ? places : pass;
    }
    if (cl->bound_apart) {
      pass = pass > 1 ? 1 : pass;  // only the exit at the end of the run can pass
    } else if (c->subject != nullptr && e > 1 && pass > 1) {
      // The narrowest tests first (the plan sorted them); a few tell enough.
      for (uint32_t t = 1; t < prefix->count && t <= RX_BOUND_PREFIX_READ && pass > 1; t++) {
        const double past = regx_prefix_count(prefix, t, c);
        pass = past < pass ? past : pass;
      }
    }
    if (cl->bound_inside && e - 1 < pass) {
      // The loop takes its class as far as it goes: there the byte is not of
      // the class (or the subject ends), so that exit cannot pass.
      pass = e - 1;
    }
    *count += *ways * lead * fail;
    *deep += cl->bound.peak;
    *ways *= pass < e ? pass : e;
  } else {
    *ways *= e;
  }
}

double regx_bound_counted(const RegxNode *n, const RegxNode *stop, const RegxCounts *c,
                          double *exits, double *depth, int *budget, double cap = HUGE_VAL);
template <bool kPlanList = false>
double regx_bound_pieces(const RegxBoundPiece *pieces, uint32_t count, const RegxCounts *c,
                         double *exits, double *most, double *depth, int *budget, double cap,
                         double room = -1, double share = -1);

double regx_gate_places(const RegxGate *gate, const RegxCounts *c);

// regx_branches_length - the pieces an RX_PIECE_BRANCHES piece's branches
// take after it
uint32_t regx_branches_length(const RegxBoundPiece *branches) {
  uint32_t at = 1;
  for (uint32_t b = 0; b < branches->length; b++) {
    at += 1 + branches[at].length;
  }
  return at - 1;
}

// regx_power - r^e for e a whole number: exact by squaring where r is a
// whole number whose power surely stays below 2^53 (there pow is exact too),
// else pow
inline double regx_power(double r, double e) {
  if (r >= 2 && r <= 64 && e >= 0 && e <= 52 && r == (double)(uint32_t)r &&
      e == (double)(uint32_t)e) {
    uint64_t base = (uint64_t)r;
    uint32_t k = (uint32_t)e;
    // r < 2^bits, so r^k < 2^(bits k)
    if (k * (uint32_t)(64 - __builtin_clzll(base)) <= 53) {
      uint64_t product = 1;
      while (k != 0) {
        product *= (k & 1) != 0 ? base : 1;
        base *= base;
        k >>= 1;
      }
      return (double)product;
    }
  }
  return pow(r, e);
}

// regx_geometric - r^a + ... + r^b (0 when b < a); infinite when it overflows
double regx_geometric(double r, double a, double b) {
  if (b < a) {
    return 0;
  }
  if (r == 1) {
    return b - a + 1;
  }
  if (r == 0) {
    return a == 0 ? 1 : 0;
  }
  return (regx_power(r, b + 1) - regx_power(r, a)) / (r - 1);
}

// regx_chain_loop - the class loop of a group body made of save pairs and
// that loop alone (in pieces), when no byte of its class starts its follower;
// else null
const RegxClassLoop *regx_chain_loop(const RegxBoundPiece *body, uint32_t count) {
  const RegxClassLoop *only = nullptr;
  for (uint32_t i = 0; i < count; i++) {
    if (body[i].kind == RX_PIECE_LOOP && only == nullptr) {
      only = body[i].loop;
    } else if (body[i].kind != RX_PIECE_SAVE && body[i].kind != RX_PIECE_GATE) {
      return nullptr;
    }
  }
  return only != nullptr && only->bound.usable && only->bound_apart ? only : nullptr;
}

// regx_bound_group - a repeated group entered by ways paths: its markers,
// its iterations and their ways out. RX_LOOP pushes its save pair (not
// counted) and, for minimum 0, the entry that leaves the loop at once; each
// iteration runs the body (bounded from each way that enters it) and at its
// end pushes a loop-undo pair, a count-undo marker and an entry that leaves
// the loop (three counted pops). A body that takes at least w bytes lets one
// path enter at most len / w + 1 iterations, and never meets the empty
// iteration checks, so the run is the plain search of the repetition. The
// ways into iteration i are those out of iteration i - 1 (the body's exits
// r times each); every iteration from the minimum on may leave the loop.
// False when the body may be empty, has no bound, or the maximum is 0.
//
// A body whose only loop is a class loop that leaves it at most once (its
// follower cannot start with a byte of its class: only the exit at the end of
// its run gets on) goes through the iterations along one path per way in:
// iteration i + 1 starts after the bytes the loop took in iteration i, so the
// loop takes at most len bytes over all of them. Each entry of the loop pops at
// most 3 + 4 (k + 1) for the k bytes it takes and fails its follower at most
// k + 1 times, so one way in costs at most the body with nothing taken per
// iteration (p0) plus 4 and a follower failure per byte of the subject.
//
// *apart (when given) turns true when each way in follows one path through
// the iterations (the body leaves at most one way per way in, and takes a
// byte or more): its ways out then stand at distinct places.
bool regx_bound_group(const RegxNode *loop, const RegxCounts *c, double *ways, double *count,
                      double *deep, int *budget, const RegxBoundPiece *body = nullptr,
                      uint32_t body_count = 0, bool *apart = nullptr) {
  const RegxGroupLoop g = regx_group_loop(loop);
  if (!g.plain) {
    return false;
  }
  double r = 1;  // the body entered once
  double one = 1;
  double d;
  const double p = body_count != 0
                       ? regx_bound_pieces(body, body_count, c, &r, &one, &d, budget, HUGE_VAL)
                       : regx_bound_counted(g.body, g.loopback, c, &r, &d, budget);
  if (p == HUGE_VAL) {
    return false;
  }
  const double min = g.min;
  double most = g.width != 0 ? floor(c->len / g.width) + 1 : 1;
  // Along one path the iterations stand at places that only grow (each
  // takes a byte or more), so a gate of the body's own sequence, which every
  // iteration passes, passes at a distinct place in each: one path
  // completes at most its places of them and enters one more.
  for (uint32_t i = 0; i < body_count; i++) {
    if (body[i].kind == RX_PIECE_GATE && g.width != 0) {
      const double places = regx_gate_places(&body[i].gate, c) + 1;
      most = places < most ? places : most;
    }
    if (body[i].kind == RX_PIECE_BRANCHES || body[i].kind == RX_PIECE_GROUP) {
      i += body[i].kind == RX_PIECE_GROUP ? body[i].length : regx_branches_length(body + i);
    }
  }
  const double iterations = g.unbounded || most < g.max ? most : g.max;
  const double w = *ways;
  if (apart != nullptr) {
    *apart = r <= 1 && g.width != 0;
  }
  *deep += 2 + (min == 0 ? 1 : 0) + iterations * (d + 4);
  if (w == 0) {
    return true;
  }
  const double entered = w * regx_geometric(r, 0, iterations - 1);
  double bodies = entered * p;
  const RegxClassLoop *only = r <= 1 ? regx_chain_loop(body, body_count) : nullptr;
  if (only != nullptr) {
    const double fail =
        only->bound.cost > only->bound_prefix.cost ? only->bound.cost : only->bound_prefix.cost;
    double saves = 0;
    for (uint32_t i = 0; i < body_count; i++) {
      saves += body[i].kind == RX_PIECE_SAVE ? body[i].length : 0;
    }
    const double chain = iterations * (saves + 7 + fail) + (4 + fail) * c->len;
    bodies = w * chain < bodies ? w * chain : bodies;
  }
  *count += (min == 0 ? w : 0) + bodies + 3 * w * regx_geometric(r, 1, iterations);
  *ways = (min == 0 ? w : 0) + w * regx_geometric(r, min > 1 ? min : 1, iterations);
  return *count < HUGE_VAL && *ways < HUGE_VAL;
}

// regx_bound_counted - an upper bound on the counted pops of the plain run over
// one entry into the list from n up to stop (or the final RX_END), HUGE_VAL
// when some piece has no bound; *exits the most ways it can be left, *depth
// the most entries one path holds at once. Every path is assumed to be
// explored (a search that fails). A class loop over len bytes pushes at most
// 4 entries per iteration and 3 on entry, and takes no more bytes (nor
// leaves more ways) than the subject's longest run of its class allows when
// the subject itself is known; an alternation one per branch; a
// group save pair one counted. Of the ways a class loop hands to its
// follower only those at a byte of the follower's first set get past its
// first test: at most as many as the subject has such bytes, and at most one
// when no byte of the loop's class is in that set. The others fail there,
// pushing at most the follower's failure cost. A repeated group is bounded
// iteration by iteration (regx_bound_group). Class loop iterations are left
// out of *depth: one path holds at most 4 entries per byte of the subject
// for them, which regx_bound_total adds once. The count only grows as the
// walk goes on: once it passes cap (the most the caller can use) the answer
// is HUGE_VAL at once.
double regx_bound_counted(const RegxNode *n, const RegxNode *stop, const RegxCounts *c,
                          double *exits, double *depth, int *budget, double cap) {
  double ways = 1;
  double count = 0;
  double deep = 0;
  while (n != stop && n->kind != RX_END) {
    if (--*budget < 0 || count > cap) {
      return HUGE_VAL;
    }
    switch (n->kind) {
      case RX_SAVE:
        count += ways;
        deep += 2;
        n = n->next->next;
        break;
      case RX_ALT: {
        const RegxNode *fail = regx_alt_end(n);
        if (fail->kind != RX_FAIL) {
          return HUGE_VAL;
        }
        double branches = 0;
        double branch_ways = 0;
        double branch_count = 0;
        double branch_depth = 0;
        for (const RegxNode *alt = n; alt->kind == RX_ALT; alt = alt->next) {
          double e;
          double d;
          // Each branch adds ways times its count at least.
          double p = regx_bound_counted(alt->arg.node, fail->next, c, &e, &d, budget,
                                        ways > 0 ? cap / ways : HUGE_VAL);
          if (p == HUGE_VAL) {
            return HUGE_VAL;
          }
          branches++;
          branch_count += p;
          branch_ways += e;
          branch_depth = d > branch_depth ? d : branch_depth;
        }
        count += ways * (branches + branch_count);
        deep += branches + branch_depth;
        ways *= branch_ways;
        n = fail->next;
        break;
      }
      case RX_LOOP:
        if (c->no_loops) {
          return HUGE_VAL;
        }
        if (n->arg.word == 0) {
          if (!regx_bound_group(n, c, &ways, &count, &deep, budget)) {
            return HUGE_VAL;
          }
          n = regx_group_loop(n).follow;
          break;
        }
        regx_bound_loop((const RegxClassLoop *)n->arg.word, c, &ways, &count, &deep);
        n = ((const RegxClassLoop *)n->arg.word)->follow;
        break;
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
  *depth = deep;
  return count > cap ? HUGE_VAL : count;
}

// regx_gate_rarity - how common a byte is in header lines, roughly (the
// gate keeps the tests whose bytes are least so)
int regx_gate_rarity(uint8_t b) {
  static const char kLower[] = "etaoinsrhldcumfpgwybvkxjqz";
  if (b == ' ') {
    return 90;
  }
  const uint8_t lower = regx_fold_table[b];
  const char *letter = lower >= 'a' && lower <= 'z' ? strchr(kLower, lower) : nullptr;
  if (letter != nullptr) {
    return (lower == b ? 80 : 30) - 2 * (int)(letter - kLower);
  }
  return b >= '0' && b <= '9' ? 25 : 10;
}

// regx_gate_add - adds what a node between two pieces tests to the gate
// being built; *open turns false at a node of variable width (the tests
// after it stand at no fixed offset)
void regx_gate_add(RegxGate *gate, bool *open, const RegxNode *n) {
  if (!*open) {
    return;
  }
  uint8_t bitmap[32];
  switch (n->kind) {
    case RX_WORDB:
      gate->words = 1;
      return;
    case RX_ANY:
    case RX_ANY_NL:
    case RX_BOL:
    case RX_BOL_NL:
    case RX_EOL:
    case RX_EOL_NL:
    case RX_OPEN:
    case RX_CLOSE:
    case RX_NOP:
    case RX_CLEAR:
      return;  // one byte of any value, or none
    case RX_STRING:
    case RX_CHAR:
    case RX_CHAR2:
    case RX_SET:
    case RX_NSET:
    case RX_NSET_NL:
      break;
    default:
      *open = false;
      return;
  }
  const size_t tests = n->kind == RX_STRING ? strlen(n->arg.text) : 1;
  for (size_t k = 0; k < tests; k++) {
    uint8_t members[RX_FEW];
    uint8_t count;
    if (n->kind == RX_STRING) {
      members[0] = (uint8_t)n->arg.text[k];
      count = 1;
    } else {
      regx_node_class(n, bitmap);
      count = regx_members_of(bitmap, members);
    }
    bool kept = count == 0;
    for (uint32_t t = 0; t < gate->count && !kept; t++) {
      kept = gate->member_count[t] == count && memcmp(gate->members[t], members, count) == 0;
    }
    if (kept) {
      continue;  // reads nothing, or the same as a test kept
    }
    int score = 0;
    for (uint8_t i = 0; i < count; i++) {
      score += regx_gate_rarity(members[i]);
    }
    // Replace the most common test kept when the gate is full.
    uint32_t slot = gate->count;
    if (slot == RX_GATE_TESTS) {
      int worst = score;
      for (uint32_t t = 0; t < RX_GATE_TESTS; t++) {
        int common = 0;
        for (uint8_t i = 0; i < gate->member_count[t]; i++) {
          common += regx_gate_rarity(gate->members[t][i]);
        }
        if (common > worst) {
          worst = common;
          slot = t;
        }
      }
      if (slot == RX_GATE_TESTS) {
        continue;
      }
    } else {
      gate->count++;
    }
    gate->member_count[slot] = count;
    memcpy(gate->members[slot], members, count);
  }
}

// regx_gate_places - the most places where a gate's tests all pass (its
// rarest test's bytes, or its word anchor's places); HUGE_VAL when the
// counts are unknown
double regx_gate_places(const RegxGate *gate, const RegxCounts *c) {
  if (c->of == nullptr) {
    return HUGE_VAL;
  }
  double places = gate->words != 0 ? regx_word_places(c) : HUGE_VAL;
  for (uint32_t t = 0; t < gate->count; t++) {
    uint32_t n = 0;
    for (uint8_t i = 0; i < gate->member_count[t]; i++) {
      n += c->of[gate->members[t][i]];
    }
    places = n < places ? n : places;
  }
  return places;
}

// regx_gate_pass - the ways past a gate entered by ways, at most most of
// them at one place. A way at place p passes a test at a fixed offset k
// only where p + k holds one of its bytes, and distinct places give
// distinct p + k: the ways that pass are at most most times the subject's
// bytes of the test (or its word anchor places, regx_word_places). The
// others fail in the gate, which pushes nothing.
double regx_gate_pass(const RegxGate *gate, const RegxCounts *c, double ways, double most) {
  const double pass = most * regx_gate_places(gate, c);
  return pass < ways ? pass : ways;
}

// regx_pieces_of - the list from n up to stop (or the final RX_END) as
// bound pieces from out[*at] on: counts them into *at, and fills them when
// out is given; false when some piece is not of their kinds. Class loops
// must be linked to their plan entries before filling. The nodes between
// two pieces become a gate piece when they test something it keeps.
bool regx_pieces_of(const RegxNode *n, const RegxNode *stop, RegxBoundPiece *out, uint32_t *at,
                    int *budget) {
  RegxGate gate = {};
  bool open = true;
  // A class loop reads the tests right after it itself (its follower's
  // first set, word anchor and prefix), as a gate would; in a group's body
  // the gate also caps the iterations (regx_bound_group).
  const bool body = stop != nullptr && stop->kind == RX_LOOPBACK;
  bool after_loop = false;
  uint32_t saved = UINT32_MAX;  // *at right after the last save piece
  const auto flush = [&]() {
    if ((gate.count != 0 || gate.words != 0) && !after_loop) {
      if (out != nullptr) {
        out[*at] = {RX_PIECE_GATE, 0, 0, 0, 0, nullptr, nullptr, 0, gate, {}, {}};
      }
      ++*at;
    }
    gate = {};
    open = true;
    after_loop = false;
  };
  while (n != stop && n != nullptr && n->kind != RX_END) {
    if (--*budget < 0) {
      return false;
    }
    if (n->kind == RX_SAVE || n->kind == RX_ALT || n->kind == RX_LOOP) {
      flush();
    }
    RegxBoundPiece *piece = out != nullptr ? &out[*at] : nullptr;
    switch (n->kind) {
      case RX_SAVE:
        // Save pairs in a row make one piece.
        if (saved == *at && out != nullptr) {
          out[*at - 1].length++;
        } else if (saved != *at) {
          if (piece != nullptr) {
            *piece = {RX_PIECE_SAVE, 1, 0, 0, 0, nullptr, nullptr, 0, {}, {}, {}};
          }
          ++*at;
        }
        saved = *at;
        n = n->next->next;
        break;
      case RX_ALT: {
        const RegxNode *fail = regx_alt_end(n);
        if (fail->kind != RX_FAIL) {
          return false;
        }
        // Without loops in its branches the figures hold for every subject.
        RegxCounts none = {nullptr, 0, true, nullptr};
        RegxBoundPiece alt = {RX_PIECE_ALT, 0, 0, 0, 0, nullptr, nullptr, 0, {}, {}, {}};
        int walk = RX_WALK_BUDGET;
        alt.count = regx_bound_counted(n, fail->next, &none, &alt.ways, &alt.depth, &walk);
        if (alt.count != HUGE_VAL) {
          if (piece != nullptr) {
            *piece = alt;
          }
          ++*at;
          n = fail->next;
          break;
        }
        // Branches with loops: each its own list of pieces.
        const uint32_t head = (*at)++;
        uint32_t branches = 0;
        for (const RegxNode *b = n; b->kind == RX_ALT; b = b->next) {
          const uint32_t branch = (*at)++;
          if (!regx_pieces_of(b->arg.node, fail->next, out, at, budget)) {
            return false;
          }
          if (out != nullptr) {
            out[branch] = {
                RX_PIECE_BRANCH, *at - branch - 1, 0, 0, 0, nullptr, nullptr, 0, {}, {}, {}};
          }
          branches++;
        }
        if (out != nullptr) {
          out[head] = {RX_PIECE_BRANCHES, branches, 0, 0, 0, nullptr, nullptr, 0, {}, {}, {}};
        }
        n = fail->next;
        break;
      }
      case RX_LOOP:
        if (n->arg.word == 0 && regx_class_item(n) == nullptr) {
          // Its body's pieces follow it when the body has that form too.
          const RegxGroupLoop g = regx_group_loop(n);
          const uint32_t group = (*at)++;
          uint32_t body = 0;
          if (regx_pieces_of(g.body, g.loopback, nullptr, &body, budget) &&
              regx_pieces_of(g.body, g.loopback, out, at, budget)) {
            body = *at - group - 1;
          } else {
            body = 0;
            *at = group + 1;
          }
          if (out != nullptr) {
            out[group] = {RX_PIECE_GROUP, body, 0, 0, 0, nullptr, n, 0, {}, {}, {}};
          }
          n = g.follow;
          break;
        }
        after_loop = !body;
        if (out != nullptr) {
          if (n->arg.word == 0) {
            return false;
          }
          *piece = {RX_PIECE_LOOP, 0, 0,  0,  0, (const RegxClassLoop *)n->arg.word,
                    nullptr,       0, {}, {}, {}};
          n = piece->loop->follow;
        } else {
          n = n->next->next->next->next;
        }
        ++*at;
        break;
      case RX_FAIL:
      case RX_RESTORE:
      case RX_LOOPBACK:
      case RX_COUNT:
      case RX_BODY:
        return false;
      default:
        regx_gate_add(&gate, &open, n);
        n = n->next;
        break;
    }
  }
  if (stop != nullptr) {
    flush();  // the ways out of the main sequence are never read
  }
  return stop == nullptr ? n != nullptr : n == stop;
}

// regx_pieces - the main sequence from start as bound pieces (regx_pieces_of)
bool regx_pieces(const RegxNode *start, RegxBoundPiece *out, uint32_t *count) {
  uint32_t at = 0;
  int budget = RX_WALK_BUDGET;
  if (!regx_pieces_of(start, nullptr, out, &at, &budget)) {
    return false;
  }
  *count = at;
  return true;
}

// regx_bound_pieces - regx_bound_counted over count pieces entered by *ways
// ways, at most *most of them at one place: the counted pops of all of them,
// *ways then the ways out and *most those at one place. The same figures as
// the nodes' walk, and gates read: between pieces the ways only shift by
// fixed offsets, so the ways at one place stay as many. A class loop's ways
// out stand at distinct places for each way in (each iteration takes one
// byte), so at most the ways in stand at one place; any other piece leaves
// each way in its own ways out, and so multiplies the ways at one place by
// those it multiplies the ways by. Alternations add up their branches'.
//
// On a plan's own list (kPlanList), room is the most entries one path may
// hold there: where the ways so far times the rest's bound by length
// (suffix_pops) stay within cap, and the rest's entries within room, the
// rest is not read. The pops and entries of the ways w entering a piece are
// at most w times those of one way (every figure above grows at most in
// proportion to the ways in; the places of a gate or a class loop only cap
// them), and a subject's counts and runs bound no more than its length. The
// answer is then that sum, at most cap, where the whole list gives at most
// as much: the caller decides the same; *ways and *most are not given.
//
// A branch's list in a plan's list (share 0 or more) is read the same way, its
// suffix_pops covering the branch's rest and all that follows its
// alternation to the plan's end: where the shortcut holds within share (the
// branch's part of what the alternation may still add, at most cap), the branch's
// ways are settled to the end (their pops counted, their entries within
// room), so the branch leaves no ways out (*exits and *most 0, *depth 0)
// and what follows the alternation is read for the other branches' ways
// alone. Paths do not share pops, so the sum bounds the whole run; but the
// figures of the settled branch by length and those of its ways merged with
// the others' after the alternation may exceed what the whole list gives, so
// the caller may see a bound fail that holds without the shortcut: it then
// works the bound out again without (c->cuts false; regx_bound_total).
template <bool kPlanList>
double regx_bound_pieces(const RegxBoundPiece *pieces, uint32_t count, const RegxCounts *c,
                         double *exits, double *most, double *depth, int *budget, double cap,
                         double room, double share) {
  double ways = *exits;
  double one = *most;  // ways at one place
  double pops = 0;
  double deep = 0;
  uint32_t i = 0;
  const bool inner = share >= 0;
  int suffix = -1;
  for (int k = RX_SUFFIX_LENGTHS - 1; kPlanList && !c->no_loops && k >= 0; k--) {
    suffix = c->len <= regx_suffix_lengths[k] ? k : suffix;
  }
  while (i < count && ways > 0) {
    if (pops > cap) {
      return HUGE_VAL;
    }
    if (kPlanList && suffix >= 0 && (!inner || c->cuts)) {
      const double rest = ways * (double)pieces[i].suffix_pops[suffix];
      const double rest_deep = deep + (double)pieces[i].suffix_depth[suffix];
      if (pops + rest <= (inner ? share : cap) && rest_deep <= room) {
        *depth = inner ? 0 : rest_deep;
        if (inner) {
          *exits = 0;
          *most = 0;
          c->branch_cut = true;
        }
        return pops + rest;
      }
    }
    const RegxBoundPiece *piece = &pieces[i++];
    const double in = ways;
    switch (piece->kind) {
      case RX_PIECE_SAVE:
        pops += ways * piece->length;
        deep += 2.0 * piece->length;
        break;
      case RX_PIECE_ALT:
        pops += ways * piece->count;
        deep += piece->depth;
        ways *= piece->ways;
        one *= piece->ways;
        break;
      case RX_PIECE_LOOP:
        if (c->no_loops) {
          return HUGE_VAL;
        }
        regx_bound_loop(piece->loop, c, &ways, &pops, &deep);
        one = in;
        break;
      case RX_PIECE_GROUP: {
        bool apart = false;
        if (c->no_loops || !regx_bound_group(piece->group, c, &ways, &pops, &deep, budget,
                                             pieces + i, piece->length, &apart)) {
          return HUGE_VAL;
        }
        i += piece->length;
        one *= ways / in;
        one = apart && in < one ? in : one;
        break;
      }
      case RX_PIECE_GATE:
        ways = regx_gate_pass(&piece->gate, c, ways, one);
        break;
      default: {  // RX_PIECE_BRANCHES
        // The costliest branch first, the others in order; the sum is taken
        // in order. Once a part of it passes the cap, so does the whole.
        const double branch_cap = cap - pops - ways * piece->length;
        const double branch_room = room - deep - piece->length;  // for a settled branch
        // A branch is settled by length only within its share of what is
        // left (so that the settled ones leave room for the others)
        const double shared =
            (share >= 0 && share < cap ? share : cap) - pops - ways * piece->length;
        double spent = 0;
        uint32_t done = 0;
        const uint32_t costliest = piece->costliest;
        double first_p = 0;
        double first_e = ways;
        double first_o = one;
        double first_d = 0;
        if (costliest != 0) {
          uint32_t at = i;
          for (uint32_t b = 0; b < costliest; b++) {
            at += 1 + pieces[at].length;
          }
          first_p = regx_bound_pieces<kPlanList>(
              pieces + at + 1, pieces[at].length, c, &first_e, &first_o, &first_d, budget,
              branch_cap, branch_room, shared > 0 ? shared / piece->length : 0);
          if (first_p == HUGE_VAL || first_p > branch_cap) {
            return HUGE_VAL;
          }
          spent = first_p;
          done = 1;
        }
        double branch_count = 0;
        double branch_ways = 0;
        double branch_one = 0;
        double branch_depth = 0;
        for (uint32_t b = 0; b < piece->length; b++) {
          const uint32_t length = pieces[i].length;
          double e = first_e;
          double o = first_o;
          double d = first_d;
          double p = first_p;
          if (b != costliest || costliest == 0) {
            e = ways;
            o = one;
            const double left = shared - spent;
            p = regx_bound_pieces<kPlanList>(pieces + i + 1, length, c, &e, &o, &d, budget,
                                             branch_cap - branch_count, branch_room,
                                             left > 0 ? left / (piece->length - done) : 0);
            spent += p;
            done++;
          }
          if (p == HUGE_VAL) {
            return HUGE_VAL;
          }
          branch_count += p;
          branch_ways += e;
          branch_one += o;
          branch_depth = d > branch_depth ? d : branch_depth;
          i += 1 + length;
        }
        pops += ways * piece->length + branch_count;
        deep += piece->length + branch_depth;
        ways = branch_ways;
        one = branch_one;
        break;
      }
    }
    one = one < ways ? one : ways;
  }
  *exits = ways;
  *most = one;
  *depth = deep;
  return pops > cap ? HUGE_VAL : pops;
}

// regx_pieces_rank - marks each alternation's branch with the most counted
// pops on a line of a typical length (by length alone)
void regx_pieces_rank(RegxBoundPiece *pieces, uint32_t count) {
  const RegxCounts typical = {nullptr, 80, false, nullptr};
  for (uint32_t k = 0; k < count; k++) {
    RegxBoundPiece *piece = &pieces[k];
    if (piece->kind != RX_PIECE_BRANCHES) {
      continue;
    }
    uint32_t at = k + 1;
    double most = -1;
    for (uint32_t b = 0; b < piece->length; b++) {
      double e = 1;
      double one = 1;
      double d;
      int walk = RX_WALK_BUDGET;
      const double p = regx_bound_pieces(pieces + at + 1, pieces[at].length, &typical, &e, &one, &d,
                                         &walk, HUGE_VAL);
      if (p > most) {
        most = p;
        piece->costliest = b;
      }
      at += 1 + pieces[at].length;
    }
  }
}

// regx_float_up - x as a float no smaller than x
float regx_float_up(double x) {
  float f = (float)x;
  return (double)f < x ? nextafterf(f, HUGE_VALF) : f;
}

// regx_pieces_suffixes - each piece of a plan's own list, and of the
// branches in it (not of group bodies): the bound by length of the rest of
// the plan's run from it, entered by one path (suffix_pops, suffix_depth).
// On a branch's list that is the rest of the branch, then what follows its
// alternation (cont, the figures of the enclosing list's next piece, or
// of what follows that list; zero at the plan's end). Each way out of the
// branch's rest runs that once: the rest's pops plus its ways out times
// cont's pops, and its entries plus cont's (a way out of the branch holds
// what the branch pushed, then what follows pushes on top).
void regx_pieces_suffixes(RegxBoundPiece *pieces, uint32_t count, const float *cont_pops,
                          const float *cont_depth) {
  for (uint32_t i = 0; i < count;) {
    for (int k = 0; k < RX_SUFFIX_LENGTHS; k++) {
      const RegxCounts c = {nullptr, regx_suffix_lengths[k], false, nullptr};
      double ways = 1;
      double one = 1;
      double depth = 0;
      int budget = RX_WALK_BUDGET;
      double pops =
          regx_bound_pieces(pieces + i, count - i, &c, &ways, &one, &depth, &budget, HUGE_VAL);
      if (pops != HUGE_VAL && cont_pops[k] != 0) {
        pops = cont_pops[k] == HUGE_VALF ? HUGE_VAL : pops + ways * (double)cont_pops[k];
        depth += (double)cont_depth[k];
      }
      const bool known = pops < HUGE_VAL && depth < HUGE_VAL;
      pieces[i].suffix_pops[k] = known ? regx_float_up(pops) : HUGE_VALF;
      pieces[i].suffix_depth[k] = known ? regx_float_up(depth) : HUGE_VALF;
    }
    const RegxBoundPiece *piece = &pieces[i++];
    i += piece->kind == RX_PIECE_GROUP      ? piece->length
         : piece->kind == RX_PIECE_BRANCHES ? regx_branches_length(piece)
                                            : 0;
  }
  // Then each branch's list, followed by what follows its alternation.
  for (uint32_t i = 0; i < count;) {
    const RegxBoundPiece *piece = &pieces[i++];
    if (piece->kind == RX_PIECE_GROUP) {
      i += piece->length;
    } else if (piece->kind == RX_PIECE_BRANCHES) {
      const uint32_t next = i + regx_branches_length(piece);
      const float *after_pops = next < count ? pieces[next].suffix_pops : cont_pops;
      const float *after_depth = next < count ? pieces[next].suffix_depth : cont_depth;
      for (uint32_t b = 0; b < piece->length; b++) {
        regx_pieces_suffixes(pieces + i + 1, pieces[i].length, after_pops, after_depth);
        i += 1 + pieces[i].length;
      }
    }
  }
}

// regx_prefix_build - the prefix tests of an attempt from n (see RegxPrefix)
void regx_prefix_build(const RegxNode *n, RegxPrefix *out) {
  memset(out, 0, sizeof *out);
  int budget = RX_WALK_BUDGET;
  uint8_t bitmap[32];
  while (n != nullptr && out->count < RX_PREFIX_TESTS && --budget > 0) {
    // Word anchors push nothing and only make an attempt fail sooner.
    if (n->kind == RX_OPEN || n->kind == RX_CLOSE || n->kind == RX_NOP || n->kind == RX_WORDB) {
      out->lead_words |= n->kind == RX_WORDB && out->cost == 0 ? 1 : 0;
      n = n->next;
      continue;
    }
    if (n->kind == RX_SAVE) {
      out->cost += 2;
      n = n->next->next;
      continue;
    }
    if (n->kind == RX_STRING) {
      out->first_free |= out->count == 0 && out->cost == 0 ? 1 : 0;
      for (const char *t = n->arg.text; *t != 0 && out->count < RX_PREFIX_TESTS; t++) {
        regx_set_bit(out->sets[out->count++], (unsigned char)*t);
      }
      n = n->next;
      continue;
    }
    const RegxNode *item = n;
    const RegxNode *next = n->next;
    uint32_t times;
    if (n->kind == RX_LOOP) {
      if ((item = regx_fixed_loop(n, &times, &next)) == nullptr) {
        return;
      }
      out->cost += 3 + 4.0 * times;
    }
    if (!regx_node_class(item, bitmap)) {
      return;
    }
    if (item->kind != RX_ANY) {
      int members = 0;
      for (int i = 0; i < 32; i++) {
        members += __builtin_popcount(bitmap[i]);
      }
      out->wide[out->count] = members > 128 ? 1 : 0;
      out->first_free |= out->count == 0 && out->cost == 0 ? 1 : 0;
      memcpy(out->sets[out->count++], bitmap, sizeof bitmap);
    }
    n = next;
  }
}

// regx_prefix_members - lists the bytes of each test that takes few
void regx_prefix_members(RegxPrefix *prefix) {
  for (uint32_t t = 0; t < prefix->count; t++) {
    prefix->member_count[t] = regx_members_of(prefix->sets[t], prefix->members[t]);
  }
}

// regx_prefix_sort - orders the tests after the first by how rare their
// bytes are in header lines, tests of more than a few bytes last (the bound
// reads the first few of them)
void regx_prefix_sort(RegxPrefix *prefix) {
  int members[RX_PREFIX_TESTS];  // the sort key: how common its bytes are
  for (uint32_t t = 0; t < prefix->count; t++) {
    uint8_t few[RX_FEW];
    const uint8_t count = regx_members_of(prefix->sets[t], few);
    members[t] = 0;
    for (uint8_t i = 0; i < count; i++) {
      members[t] += regx_gate_rarity(few[i]);
    }
    for (int i = 0; i < 32 && count == 0; i++) {
      members[t] += 1000 * __builtin_popcount(prefix->sets[t][i]);
    }
  }
  for (uint32_t t = 2; t < prefix->count; t++) {
    for (uint32_t u = t; u > 1 && members[u] < members[u - 1]; u--) {
      uint8_t set[32];
      memcpy(set, prefix->sets[u], sizeof set);
      memcpy(prefix->sets[u], prefix->sets[u - 1], sizeof set);
      memcpy(prefix->sets[u - 1], set, sizeof set);
      const uint8_t wide = prefix->wide[u];
      prefix->wide[u] = prefix->wide[u - 1];
      prefix->wide[u - 1] = wide;
      const int m = members[u];
      members[u] = members[u - 1];
      members[u - 1] = m;
    }
  }
}

// regx_fold_add - appends what a node of the main sequence reads to a run of
// bytes in a row: a literal, a class of one byte or of one letter in both
// cases; nodes that read nothing (group marks, saves, line starts) keep the
// run going. False when the node ends the run.
bool regx_fold_add(RegxFoldRun *run, const RegxNode *n) {
  unsigned char one[2] = {0, 0};
  const unsigned char *bytes = one;
  size_t len = 1;
  switch (n->kind) {
    case RX_OPEN:
    case RX_CLOSE:
    case RX_BOL:
    case RX_BOL_NL:
    case RX_NOP:
    case RX_SAVE:
      return true;
    case RX_CHAR:
      one[0] = n->arg.bytes[0];
      one[1] = one[0];
      break;
    case RX_CHAR2:
      one[0] = n->arg.bytes[0];
      one[1] = n->arg.bytes[1];
      break;
    case RX_STRING:
      bytes = (const unsigned char *)n->arg.text;
      len = strlen(n->arg.text);
      break;
    case RX_SET: {
      int members = 0;
      for (int i = 0; i < 32; i++) {
        members += __builtin_popcount(n->arg.bitmap[i]);
      }
      unsigned c = 1;
      while (c < 256 && !regx_bit(n->arg.bitmap, (unsigned char)c)) {
        c++;
      }
      if (c == 256 || members > 2 ||
          (members == 2 &&
           (regx_fold_table[c] == c || !regx_bit(n->arg.bitmap, regx_fold_table[c])))) {
        return false;
      }
      one[0] = (unsigned char)c;
      one[1] = members == 2 ? regx_fold_table[c] : one[0];
      break;
    }
    default:
      return false;
  }
  for (size_t i = 0; i < len && run->len < RX_FOLD_BYTES; i++) {
    run->a[run->len] = bytes[i];
    run->b[run->len] = n->kind == RX_STRING ? bytes[i] : one[1];
    run->len++;
  }
  return true;
}

// regx_fold_keep - ends a run, keeping it in best when it is the longest so
// far of two bytes or more (and wanted); empties it
void regx_fold_keep(RegxFoldRun *best, RegxFoldRun *run, bool wanted) {
  if (wanted && run->len >= 2 && run->len > best->len) {
    *best = *run;
  }
  run->len = 0;
}

// regx_required - the longest literal on the program's main sequence after its
// first piece that is not a literal; else, for an unanchored program, the
// longest leading one; else null. An anchored program tests its leading
// literal at once anyway, and a header name is in every line the rule is
// tried on. The walk also gives the longest run of bytes in a row that every
// match holds at one place, where a byte may be a letter of either case
// (literals and [Xx] classes), to fold (see regx_fold_run), and the first
// RX_CUT_CANDIDATES literals after its first piece that is not a literal,
// in order, into later (their number in *later_count).
enum { RX_CUT_CANDIDATES = 16 };
const RegxNode *regx_required(const RegxNode *program, RegxFoldRun *fold,
                              const RegxNode **later_out, uint32_t *later_count) {
  const RegxNode *n = program;
  const RegxNode *best[2] = {nullptr, nullptr};  // leading, later
  size_t best_len[2] = {0, 0};
  int later = 0;
  int budget = RX_WALK_BUDGET;
  RegxFoldRun run;
  int run_later = 0;
  memset(fold, 0, sizeof *fold);
  memset(&run, 0, sizeof run);
  const bool scanned = program->kind == RX_SCAN || program->kind == RX_SCANCHAR;
  while (n != nullptr && n->kind != RX_END && --budget > 0) {
    if (run.len == 0) {
      run_later = later;
    }
    if (!regx_fold_add(&run, n)) {
      regx_fold_keep(fold, &run, run_later != 0 || scanned);
    }
    switch (n->kind) {
      case RX_CHAR:
      case RX_STRING: {
        size_t len = n->kind == RX_CHAR ? 1 : strlen(n->arg.text);
        if (later != 0 && *later_count < RX_CUT_CANDIDATES &&
            (n->kind == RX_STRING || n->arg.bytes[0] != 0)) {
          later_out[(*later_count)++] = n;
        }
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
  regx_fold_keep(fold, &run, run_later != 0 || scanned);
  if (best[1] != nullptr) {
    return best[1];
  }
  return program->kind == RX_SCANCHAR ? best[0] : nullptr;
}

// regx_fixed_rank - how good a byte is as the anchor of the candidate search:
// punctuation is rarer in header text than letters, digits and spaces
int regx_fixed_rank(unsigned char c) {
  uint16_t cl = regx_class_table[c];
  if ((cl & RX_CL_PUNCT) != 0) {
    return 3;
  }
  if ((cl & (RX_CL_UPPER | RX_CL_DIGIT)) != 0) {
    return 2;
  }
  return 1;
}

// regx_fixed_build - the pieces of an unanchored program made only of
// fixed-width pieces with a literal among them; piece_count stays 0 otherwise
void regx_fixed_build(const RegxNode *program, RegxFixed *out) {
  memset(out, 0, sizeof *out);
  if (program->kind != RX_SCAN) {
    return;
  }
  RegxFixed f;
  memset(&f, 0, sizeof f);
  size_t offset = 0;
  int best = 0;  // rank of the anchor so far; a string beats every byte
  int budget = RX_WALK_BUDGET;
  const RegxNode *n = program->next;
  while (n != nullptr && n->kind != RX_END) {
    if (--budget < 0) {
      return;
    }
    if (n->kind == RX_OPEN || n->kind == RX_CLOSE || n->kind == RX_NOP) {
      n = n->next;
      continue;
    }
    if (f.piece_count == RX_FIXED_PIECES) {
      return;
    }
    RegxFixedPiece *piece = &f.pieces[f.piece_count];
    const RegxNode *item = n;
    uint32_t count = 1;
    const RegxNode *next = n->next;
    if (n->kind == RX_LOOP && (item = regx_fixed_loop(n, &count, &next)) == nullptr) {
      return;
    }
    if (item->kind == RX_STRING) {
      piece->text = item->arg.text;
      count = (uint32_t)strlen(item->arg.text);
      if (best < 4 || count > strlen(f.anchor_text)) {
        f.anchor_text = item->arg.text;
        f.anchor_offset = offset;
        best = 4;
      }
    } else if (!regx_node_class(item, piece->bitmap)) {
      return;
    } else if (item->kind == RX_CHAR && regx_fixed_rank(item->arg.bytes[0]) > best) {
      f.anchor_byte = (char)item->arg.bytes[0];
      f.anchor_offset = offset;
      best = regx_fixed_rank(item->arg.bytes[0]);
    }
    piece->count = count;
    offset += count;
    f.piece_count++;
    n = next;
  }
  if (n == nullptr || n->arg.word != 1 || best == 0 || f.piece_count < 2) {
    return;  // no success end, no literal to search for, or a lone literal
  }
  *out = f;
}

// regx_fixed_at - whether the bytes from s pass every piece in turn; stops at
// the first failing byte, so never reads past the subject's NUL
bool regx_fixed_at(const RegxFixed *f, const unsigned char *s) {
  for (uint32_t i = 0; i < f->piece_count; i++) {
    const RegxFixedPiece *piece = &f->pieces[i];
    if (piece->text != nullptr) {
      const unsigned char *t = (const unsigned char *)piece->text;
      for (; *t != 0; t++, s++) {
        if (*s != *t) {
          return false;
        }
      }
      continue;
    }
    for (uint32_t k = 0; k < piece->count; k++, s++) {
      if (!regx_bit(piece->bitmap, *s)) {
        return false;
      }
    }
  }
  return true;
}

// regx_bound_run - the counted pops of the whole plain run on the subject:
// its attempts (every position for RX_SCAN, of which only those past the
// scan's first test and the prefix tests run on; the positions of the byte
// for RX_SCANCHAR; one for an anchored program), each a scan retry and the
// counted pops of the program, plus the stop entry; HUGE_VAL when unbounded
// or when one path could fill the stack, or as soon as it is known to pass
// limit (the callers only ask whether it stays within)
double regx_bound_run(const RegxPlan *plan, const RegxPattern *pattern, const RegxCounts *c,
                      double limit) {
  const RegxNode *start = pattern->program;
  double failing = 0;  // attempts that fail early, and their cost each
  double failing_cost = 0;
  double attempts = 1;
  double retry = 0;
  if (start->kind == RX_SCAN || start->kind == RX_SCAN_NL) {
    retry = 1;
    attempts = c->len + 1;
    if (start->kind == RX_SCAN && plan->scan.usable) {
      double pass = regx_follow_count(&plan->scan, c);
      failing = attempts;
      failing_cost = plan->scan.cost;
      attempts = pass < attempts ? pass : attempts;
    }
    if (start->kind == RX_SCAN && plan->prefix != nullptr) {
      // An attempt that fails inside the prefix pushed at most its cost; the
      // others passed every prefix test at distinct places.
      failing = c->len + 1;
      failing_cost = plan->prefix->cost > failing_cost ? plan->prefix->cost : failing_cost;
      for (uint32_t t = 0; t < plan->prefix->count; t++) {
        double pass = regx_prefix_count(plan->prefix, t, c);
        attempts = pass < attempts ? pass : attempts;
      }
    }
    start = start->next;
  } else if (start->kind == RX_SCANCHAR) {
    retry = 1;
    attempts = start->arg.bytes[0] == 0 ? 1
               : c->of == nullptr       ? c->len + 1
                                        : c->of[start->arg.bytes[0]];
    start = start->next;
  }
  // The most counted pops one attempt may make for the total to stay within
  // limit; the pieces' pops only grow.
  const double base = 1 + failing * (retry + failing_cost);
  const double cap = attempts > 0 ? (limit - base) / attempts - retry : HUGE_VAL;
  if (cap < 0) {
    return HUGE_VAL;
  }
  // Class loop iterations hold 4 entries each and take a byte each: one path
  // holds at most 4 per byte of the subject on top of its fixed entries.
  const double taken = pattern->loop_count != 0 ? 4 * (c->len + 1) : 0;
  double pops = 0;
  double depth = 0;
  int budget = RX_WALK_BUDGET;
  double exits;
  if (plan->piece_count != 0) {
    exits = 1;  // one attempt
    double one = 1;
    pops = regx_bound_pieces<true>(plan->pieces, plan->piece_count, c, &exits, &one, &depth,
                                   &budget, cap, (double)REGX_STACK_ENTRIES - taken - 2);
  } else {
    pops = regx_bound_counted(start, nullptr, c, &exits, &depth, &budget, cap);
  }
  if (pops == HUGE_VAL || depth + taken + 2 > (double)REGX_STACK_ENTRIES) {
    return HUGE_VAL;
  }
  return base + attempts * (retry + pops);
}

// regx_bound_total - regx_bound_run, worked out again without settling
// branches by length where that fails (regx_bound_pieces): the answer passes
// limit only where the figures alone do
double regx_bound_total(const RegxPlan *plan, const RegxPattern *pattern, const RegxCounts *c,
                        double limit) {
  const double total = regx_bound_run(plan, pattern, c, limit);
  if (total <= limit || !c->branch_cut) {
    return total;
  }
  RegxCounts whole = *c;
  whole.cuts = false;
  return regx_bound_run(plan, pattern, &whole, limit);
}

// regx_bound_fits - the plain run on len bytes stays within limit and the stacks
bool regx_bound_fits(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit, double len) {
  RegxCounts c = {nullptr, len, false, nullptr};
  return regx_bound_total(plan, pattern, &c, limit) <= (double)limit;
}

}  // namespace

// regx_min_width - the fewest bytes a match of the list from n up to stop takes
double regx_min_width(const RegxNode *n, const RegxNode *stop) {
  double width = 0;
  while (n != nullptr && n != stop) {
    switch (n->kind) {
      case RX_END:
        return width;
      case RX_STRING:
        width += (double)strlen(n->arg.text);
        n = n->next;
        break;
      case RX_SAVE:
        n = n->next->next;
        break;
      case RX_ALT: {
        const RegxNode *fail = regx_alt_end(n);
        if (fail->kind != RX_FAIL) {
          return width;
        }
        double least = HUGE_VAL;
        for (const RegxNode *alt = n; alt->kind == RX_ALT; alt = alt->next) {
          const double branch = regx_min_width(alt->arg.node, fail->next);
          least = branch < least ? branch : least;
        }
        width += least == HUGE_VAL ? 0 : least;
        n = fail->next;
        break;
      }
      case RX_LOOP: {
        const RegxNode *loopback = n->next;
        const RegxNode *body = loopback->next->next;
        width += loopback->next->arg.bytes[RX_COUNT_MIN] * regx_min_width(body->arg.node, loopback);
        n = body->next;
        break;
      }
      default:
        if (regx_inner_node(n)) {
          return width;
        }
        width += regx_one_byte(n) ? 1 : 0;
        n = n->next;
        break;
    }
  }
  return width;
}

// regx_group_loop - the parts of the repetition at an RX_LOOP node
RegxGroupLoop regx_group_loop(const RegxNode *loop) {
  RegxGroupLoop g;
  g.loopback = loop->next;
  const RegxNode *k = g.loopback->next;
  g.body = k->next->arg.node;
  g.follow = k->next->next;
  g.min = k->arg.bytes[RX_COUNT_MIN];
  g.max = k->arg.bytes[RX_COUNT_MAX];
  g.width = k->arg.bytes[RX_COUNT_WIDTH];
  g.unbounded = k->arg.bytes[RX_COUNT_UNBOUNDED] != 0;
  g.plain =
      (g.max != 0 || g.unbounded) && (g.width >= 1 || (g.min == 0 && g.max == 1 && !g.unbounded));
  return g;
}

// regx_node_class - the bytes a one-byte node takes, as the matcher tests
// them (never NUL); false for any other node
bool regx_node_class(const RegxNode *n, uint8_t *bitmap) {
  switch (n->kind) {
    case RX_ANY:
    case RX_ANY_NL:
      memset(bitmap, 0xFF, 32);
      break;
    case RX_CHAR:
    case RX_CHAR2:
      memset(bitmap, 0, 32);
      regx_set_bit(bitmap, n->arg.bytes[0]);
      if (n->kind == RX_CHAR2) {
        regx_set_bit(bitmap, n->arg.bytes[1]);
      }
      break;
    case RX_SET:
      memcpy(bitmap, n->arg.bitmap, 32);
      break;
    case RX_NSET:
    case RX_NSET_NL:
      for (int i = 0; i < 32; i++) {
        bitmap[i] = (uint8_t)~n->arg.bitmap[i];
      }
      break;
    default:
      memset(bitmap, 0, 32);
      return false;
  }
  if (n->kind == RX_ANY_NL || n->kind == RX_NSET_NL) {
    bitmap['\n' >> 3] = (uint8_t)(bitmap['\n' >> 3] & ~(1u << ('\n' & 7)));
  }
  bitmap[0] &= (uint8_t)~1u;  // never NUL
  return true;
}

// regx_class_run_build - the bytes regx_class_run reads for a class loop
static void regx_class_run_build(RegxClassLoop *cl) {
  uint8_t cls[32];
  regx_node_class(cl->item, cls);
  int inside = 0;
  int outside = 0;
  for (int b = 1; b < 256; b++) {
    if (regx_bit(cls, (unsigned char)b)) {
      inside++;
    } else if (b != '\n') {
      outside++;
    }
  }
  cl->run_count = 0;
  cl->run_inside = inside <= (int)sizeof cl->run_bytes;
  if ((!cl->unbounded && cl->max <= 8) || outside == 0) {
    return;  // takes a few bytes at most, or a run of the class may be the whole line
  }
  // Outside bytes common in header lines first: their stretches are short.
  static const char kCommon[] = " .:;,<>@-_/=()[]";
  for (int i = 0; kCommon[i] != '\0' && !cl->run_inside; i++) {
    const unsigned char b = (unsigned char)kCommon[i];
    if (!regx_bit(cls, b) && cl->run_count < (int32_t)sizeof cl->run_bytes) {
      cl->run_bytes[cl->run_count++] = b;
    }
  }
  for (int b = 1; b < 256 && cl->run_count < (int32_t)sizeof cl->run_bytes; b++) {
    const bool listed = !cl->run_inside && b < 128 && strchr(kCommon, b) != nullptr;
    if (regx_bit(cls, (unsigned char)b) == (cl->run_inside != 0) && b != '\n' && !listed) {
      cl->run_bytes[cl->run_count++] = (uint8_t)b;
    }
  }
}

// regx_plan_decide - tries every occurrence of the anchor as the anchor of a
// match: a match anywhere holds its anchor at a fixed distance from its start
bool regx_plan_decide(const RegxPlan *plan, const char *subject, size_t *len) {
  const RegxFixed *f = plan->fixed;
  const char *from = subject;
  for (;;) {
    const char *at;
    if (f->anchor_text != nullptr) {
      at = strstr(from, f->anchor_text);
      if (at == nullptr) {
        *len = (size_t)(from - subject) + strlen(from);
        return false;
      }
    } else {
      at = strchrnul(from, f->anchor_byte);
      if (*at == 0) {
        *len = (size_t)(at - subject);
        return false;
      }
    }
    if ((size_t)(at - subject) >= f->anchor_offset &&
        regx_fixed_at(f, (const unsigned char *)at - f->anchor_offset)) {
      *len = (size_t)(at - subject) + strlen(at);
      return true;
    }
    from = at + 1;
  }
}

// regx_plan_longest - the longest subject whose plain run is provably within limit
//
// Found by doubling and bisection and kept with its limit in one atomic word:
// a thread that reads a word written for another limit works the answer out
// again and stores it.
int64_t regx_plan_longest(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit) {
  if (!plan->bounded) {
    return -1;
  }
  std::atomic_ref<uint64_t> fit(const_cast<RegxPlan *>(plan)->fit);
  uint64_t word = fit.load(std::memory_order_relaxed);
  if ((uint32_t)(word >> 32) != limit) {
    uint64_t longest = 0;  // fitting length plus 1; 0 when none fits
    if (regx_bound_fits(plan, pattern, limit, 0)) {
      uint64_t lo = 0;  // fits
      uint64_t hi = 1;
      while (hi < ((uint64_t)1 << 40) && regx_bound_fits(plan, pattern, limit, (double)hi)) {
        lo = hi;
        hi *= 2;
      }
      while (hi - lo > 1) {
        uint64_t mid = lo + (hi - lo) / 2;
        if (regx_bound_fits(plan, pattern, limit, (double)mid)) {
          lo = mid;
        } else {
          hi = mid;
        }
      }
      longest = lo < 0xFFFFFFFEu ? lo + 1 : 0xFFFFFFFFu;
    }
    word = (uint64_t)limit << 32 | longest;
    fit.store(word, std::memory_order_relaxed);
  }
  return (int64_t)(word & 0xFFFFFFFFu) - 1;
}

// regx_plan_fits - whether the plain run on len bytes is provably within limit
bool regx_plan_fits(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit, size_t len) {
  int64_t longest = regx_plan_longest(plan, pattern, limit);
  return longest >= 0 && len <= (uint64_t)longest;
}

// regx_plan_fits_subject - the bound for one subject with its counts and runs
bool regx_plan_fits_subject(const RegxPlan *plan, const RegxPattern *pattern, uint32_t limit,
                            RegxSubject *subject) {
  if (!plan->bounded) {
    return false;
  }
  // The counts alone first, while they have always sufficed for this
  // pattern: the runs and the followers' tests only tighten the bound, so
  // where the counts prove the run within limit they do too.
  std::atomic_ref<int32_t> counts_short(const_cast<RegxPlan *>(plan)->counts_short);
  if (counts_short.load(std::memory_order_relaxed) == 0) {
    RegxCounts counted = {subject->counts, (double)subject->length, false, nullptr};
    if (regx_bound_total(plan, pattern, &counted, limit) <= (double)limit) {
      return true;
    }
    counts_short.store(1, std::memory_order_relaxed);
  }
  RegxCounts c = {subject->counts, (double)subject->length, false, subject};
  return regx_bound_total(plan, pattern, &c, limit) <= (double)limit;
}

namespace {
void regx_plan_words(RegxPlan *plan);
void regx_fold_anchor(RegxFoldRun *fold);
int regx_cuts_build(const RegxPattern *pattern, RegxPlan *plan, const RegxNode **later,
                    uint32_t later_count);

// regx_free_copies - frees a cut's blocks of node copies (they own nothing)
void regx_free_copies(RegxBlock *blocks) {
  while (blocks != nullptr) {
    RegxBlock *older = blocks->next;
    tlvpr_free(blocks);
    blocks = older;
  }
}
}  // namespace

// regx_plan_make - scan shortcut and class loops of the program, and its
// cuts when cuts (a cut program has none of its own)
static int regx_plan_make(RegxPattern *pattern, RegxPlan **plan, bool cuts) {
  *plan = nullptr;
  uint32_t loops = 0;
  for (RegxBlock *b = pattern->arena; b != nullptr; b = b->next) {
    for (RegxNode &node : b->nodes) {
      if (node.kind == RX_LOOP && regx_class_item(&node) != nullptr) {
        loops++;
      }
      if (node.kind == RX_LOOP) {
        RegxNode *count = node.next->next;
        const double width = regx_min_width(count->next->arg.node, node.next);
        count->arg.bytes[RX_COUNT_WIDTH] = (unsigned char)(width < 255 ? width : 255);
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
  RegxFoldRun fold;
  const RegxNode *later[RX_CUT_CANDIDATES];
  uint32_t later_count = 0;
  const RegxNode *required = regx_required(program, &fold, later, &later_count);
  const RegxNode *start = program->kind == RX_OPEN ? program : program->next;
  uint32_t pieces = 0;
  if (!regx_pieces(start, nullptr, &pieces)) {
    pieces = 0;
  }
  RegxFixed fixed;
  regx_fixed_build(program, &fixed);
  RegxPrefix prefix;
  memset(&prefix, 0, sizeof prefix);
  if (program->kind == RX_SCAN) {
    regx_prefix_build(program->next, &prefix);
    regx_prefix_members(&prefix);
  }
  // The fixed shape and the prefix take room only when the program has them.
  const size_t size = sizeof(RegxPlan) + loops * sizeof(RegxClassLoop) +
                      pieces * sizeof(RegxBoundPiece) +
                      (fixed.piece_count != 0 ? sizeof(RegxFixed) : 0) +
                      (prefix.count != 0 ? sizeof(RegxPrefix) : 0);
  RegxPlan *built = (RegxPlan *)tlvpr_calloc(1, size);
  if (built == nullptr) {
    return REGX_ESPACE;
  }
  built->scan = scan;
  built->lead = lead;
  built->loop_count = loops;
  built->loops = (RegxClassLoop *)(built + 1);
  built->pieces = (RegxBoundPiece *)(built->loops + loops);
  char *tail = (char *)(built->pieces + pieces);
  if (fixed.piece_count != 0) {
    built->fixed = (RegxFixed *)tail;
    *built->fixed = fixed;
    tail += sizeof(RegxFixed);
  }
  if (prefix.count != 0) {
    built->prefix = (RegxPrefix *)tail;
    *built->prefix = prefix;
  }
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
      cl->apart = cl->after.usable && regx_class_apart(cl->item, cl->after.first);
      regx_bound_follow_build(cl->follow, &cl->bound);
      cl->bound_apart = cl->bound.usable && regx_class_apart(cl->item, cl->bound.first);
      cl->bound_inside =
          cl->bound.usable && cl->unbounded && regx_class_holds(cl->item, cl->bound.first);
      regx_class_run_build(cl);
      regx_prefix_build(cl->follow, &cl->bound_prefix);
      regx_prefix_sort(&cl->bound_prefix);
      regx_prefix_members(&cl->bound_prefix);
      node.arg.word = (uintptr_t)cl;
    }
  }
  const RegxNode *first = program->next != nullptr ? program->next->next : nullptr;
  if (program->kind == RX_SCAN && scan.usable && first != nullptr && first->kind == RX_LOOP &&
      first->arg.word != 0) {
    const RegxClassLoop *cl = (const RegxClassLoop *)first->arg.word;
    if (cl->min >= 1 && cl->apart) {
      built->lead_loop = cl;
    }
  }
  if (fold.len > (required == nullptr         ? 0
                  : required->kind == RX_CHAR ? 1
                                              : strlen(required->arg.text))) {
    built->fold = fold;
    regx_fold_anchor(&built->fold);
  }
  if (required != nullptr) {
    if (required->kind == RX_CHAR) {
      built->required_byte[0] = (char)required->arg.bytes[0];
      built->required = built->required_byte;
    } else {
      built->required = required->arg.text;
    }
  }
  int budget = RX_WALK_BUDGET;
  double exits;
  double depth;
  RegxCounts none = {nullptr, 0, false, nullptr};
  built->bounded = regx_bound_counted(start, nullptr, &none, &exits, &depth, &budget) != HUGE_VAL;
  if (pieces != 0 && regx_pieces(start, built->pieces, &pieces)) {
    built->piece_count = pieces;
    regx_pieces_rank(built->pieces, pieces);
    const float none[RX_SUFFIX_LENGTHS] = {};
    regx_pieces_suffixes(built->pieces, pieces, none, none);
  }
  regx_plan_words(built);
  // A program whose own push bound by length covers longer lines than
  // headers have at the usual limit leaves its cuts nothing to decide.
  const bool needs_cuts =
      cuts && later_count != 0 &&
      !(built->bounded && regx_plan_longest(built, pattern, RX_CUTS_LIMIT) >= RX_CUTS_LENGTH);
  if (needs_cuts && regx_cuts_build(pattern, built, later, later_count) != REGX_OK) {
    regx_plan_release(built);
    return REGX_ESPACE;
  }
  *plan = built;
  return REGX_OK;
}

// regx_plan_build - scan shortcut, class loops and cuts of the program
int regx_plan_build(RegxPattern *pattern, RegxPlan **plan) {
  return regx_plan_make(pattern, plan, true);
}

// regx_plan_release - frees the plan, its cuts' plans and their node copies
void regx_plan_release(RegxPlan *plan) {
  if (plan == nullptr) {
    return;
  }
  for (uint32_t i = 0; i < plan->cut_count; i++) {
    regx_free_copies(plan->cuts[i].pattern.arena);
    regx_plan_release(plan->cuts[i].pattern.plan);
  }
  for (uint32_t i = 0; i < plan->loop_count; i++) {
    tlvpr_free(plan->loops[i].beyond_of);
  }
  tlvpr_free(plan->cuts);
  tlvpr_free(plan);
}

namespace {

// regx_loop_key - the exact byte the skip of a class loop's follower looks
// for: the first one among the tests in a row after its one leaf (one-byte
// nodes and strings, within the first 32 of them, as the matcher tests them)
void regx_loop_key(RegxClassLoop *cl) {
  const RegxFollow *f = &cl->after;
  if (!f->usable || f->single || f->leaf_count != 1) {
    return;
  }
  uint32_t offset = 0;
  const RegxNode *n = f->leaves[0];
  for (int steps = 0; n != nullptr && steps < 32; steps++, n = n->next) {
    if (n->kind == RX_STRING || (n->kind == RX_CHAR && n->arg.bytes[0] != 0)) {
      unsigned char c = n->kind == RX_STRING ? (unsigned char)n->arg.text[0] : n->arg.bytes[0];
      if (offset > 0) {
        cl->key_offset = offset;
        cl->key_byte = c;
        return;
      }
    }
    if (n->kind == RX_STRING) {
      offset += (uint32_t)strlen(n->arg.text);
    } else if (regx_one_byte(n)) {
      offset++;
    } else {
      return;
    }
  }
}

// regx_loop_through - the follower's leaf that the skip sees past, with the
// group closes (and joins, RX_NOP) after it, and the attempts where those lead
void regx_loop_through(RegxClassLoop *cl) {
  const RegxFollow *f = &cl->after;
  if (f->enters_loop) {
    // A group loop entered there starts its count and position afresh,
    // which the skip cannot read from the state at the frame.
    return;
  }
  const RegxNode *through = nullptr;
  for (int i = 0; i < f->leaf_count; i++) {
    const RegxNode *n = f->leaves[i];
    if (through == nullptr && regx_one_byte(n) && n->next != nullptr &&
        (n->next->kind == RX_CLOSE || n->next->kind == RX_NOP)) {
      through = n;
    }
  }
  int paths = 0;  // a leaf reached twice has its attempt run twice
  for (int i = 0; i < f->leaf_count; i++) {
    paths += f->leaves[i] == through;
  }
  if (through == nullptr || paths != 1) {
    return;
  }
  const RegxNode *n = through->next;
  while (n != nullptr && (n->kind == RX_CLOSE || n->kind == RX_NOP)) {
    n = n->next;
  }
  if (n == nullptr) {
    return;
  }
  // Without memory for the walks the loop goes without the skip: the
  // matcher's results do not depend on it.
  RegxThrough *walks = (RegxThrough *)tlvpr_calloc(1, sizeof(RegxThrough));
  if (walks == nullptr) {
    return;
  }
  if (n->kind == RX_LOOPBACK) {
    const RegxNode *body = n->next->next;
    regx_follow_build(body->arg.node, &walks->beyond);
    regx_follow_build(body->next, &walks->past);
    cl->loop_back = n;
  } else {
    regx_follow_build(n, &walks->beyond);
  }
  if (!walks->beyond.usable) {
    tlvpr_free(walks);
    cl->loop_back = nullptr;
    return;
  }
  cl->through = through;
  cl->beyond_of = walks;
}

// regx_loop_framed - how the matcher runs a class loop (RegxClassLoop's
// framed). The frame's bookkeeping costs more than the loop nodes where it
// saves nothing: x? takes one byte at most, and where the follower's first
// test takes every byte of the class (x*x) no start inside a run is skipped;
// the latter keeps the frame on long runs, whose plain iterations would
// outgrow the first, small stacks.
int32_t regx_loop_framed(const RegxClassLoop *cl) {
  if (!cl->unbounded && cl->max <= 1) {
    return RX_FRAME_NEVER;
  }
  uint8_t bits[32];
  if (!cl->after.usable || cl->key_offset != 0 || !regx_node_class(cl->item, bits)) {
    return RX_FRAME_ALWAYS;
  }
  int members = 0;
  for (int i = 0; i < 32; i++) {
    members += __builtin_popcount(bits[i]);
  }
  if (cl->through != nullptr && members > 128) {
    // Long runs are likely, and the starts the through leaf passes are
    // skipped (regx_cl_find_beyond) unless what follows may go on.
    return RX_FRAME_ALWAYS;
  }
  for (int i = 0; i < 32; i++) {
    if ((bits[i] & ~cl->after.first[i]) != 0) {
      return RX_FRAME_ALWAYS;
    }
  }
  return RX_FRAME_LONG;
}

// regx_plan_words - the word anchor followers and the nested class loops of
// the class loops, and how the matcher runs each
void regx_plan_words(RegxPlan *plan) {
  for (uint32_t i = 0; i < plan->loop_count; i++) {
    RegxClassLoop *cl = &plan->loops[i];
    regx_loop_key(cl);
    regx_loop_through(cl);
    cl->framed = regx_loop_framed(cl);
    const RegxNode *follow = cl->follow;
    if (follow->kind == RX_LOOP && follow->arg.word != 0 &&
        ((const RegxClassLoop *)follow->arg.word)->after.usable) {
      cl->nested = (const RegxClassLoop *)follow->arg.word;
    }
    if (cl->after.usable || follow->kind != RX_WORDB) {
      continue;
    }
    regx_follow_build(cl->follow->next, &cl->after_word);
    cl->word = cl->after_word.usable;
  }
}

// regx_fold_anchor - picks the run's byte that the search looks for first:
// the rarest in header text, a byte of one value before a letter of two
void regx_fold_anchor(RegxFoldRun *fold) {
  int best = -1;
  for (uint32_t i = 0; i < fold->len; i++) {
    int score = regx_fixed_rank(fold->a[i]) * 2 + (fold->a[i] == fold->b[i] ? 1 : 0);
    if (score > best) {
      best = score;
      fold->anchor = i;
    }
  }
}

// regx_cut_copy - the program's nodes up to and including literal, copied
// into a fresh arena of cut->pattern whose last node is a success end;
// REGX_ESPACE when out of memory
int regx_cut_copy(const RegxPattern *pattern, const RegxNode *literal, RegxCut *cut) {
  size_t total = 0;
  for (const RegxBlock *b = pattern->arena; b != nullptr; b = b->next) {
    total += REGX_BLOCK_NODES;
  }
  // The arena's nodes by address, each with the index of its copy (or -1),
  // and the copies' originals in the order they are reached.
  const RegxNode **all = (const RegxNode **)tlvpr_malloc(3 * total * sizeof(const RegxNode *));
  int64_t *copy = (int64_t *)tlvpr_malloc(total * sizeof(int64_t));
  if (all == nullptr || copy == nullptr) {
    tlvpr_free(all);
    tlvpr_free(copy);
    return REGX_ESPACE;
  }
  const RegxNode **order = all + total;
  const RegxNode **todo = order + total;
  size_t k = 0;
  for (const RegxBlock *b = pattern->arena; b != nullptr; b = b->next) {
    for (const RegxNode &node : b->nodes) {
      all[k++] = &node;
    }
  }
  std::sort(all, all + total, std::less<const RegxNode *>());
  auto index = [&](const RegxNode *n) {
    return (size_t)(std::lower_bound(all, all + total, n, std::less<const RegxNode *>()) - all);
  };
  for (size_t i = 0; i < total; i++) {
    copy[i] = -1;
  }
  // Each node is numbered when first met, so it waits on the list once.
  size_t reached = 0;
  size_t pending = 0;
  bool foreign = false;  // a node outside the arena (none in a compiled program)
  auto meet = [&](const RegxNode *n) {
    size_t at = index(n);
    if (at == total || all[at] != n) {
      foreign = true;
    } else if (copy[at] < 0) {
      copy[at] = (int64_t)reached;
      order[reached++] = n;
      todo[pending++] = n;
    }
  };
  meet(pattern->program);
  while (pending > 0) {
    const RegxNode *n = todo[--pending];
    if (n == literal) {
      continue;
    }
    if (n->next != nullptr) {
      meet(n->next);
    }
    if (n->kind == RX_ALT || n->kind == RX_BODY) {
      meet(n->arg.node);
    }
  }
  memset(&cut->pattern, 0, sizeof cut->pattern);
  if (foreign) {
    tlvpr_free(all);
    tlvpr_free(copy);
    return REGX_OK;  // no cut: cut->pattern.program stays null
  }
  // The copies, then the success end, in blocks of the arena's size.
  RegxBlock *blocks = nullptr;
  size_t blocks_needed = (reached + 1 + REGX_BLOCK_NODES - 1) / REGX_BLOCK_NODES;
  RegxNode **made = (RegxNode **)tlvpr_malloc((reached + 1) * sizeof(RegxNode *));
  int rc = made == nullptr ? REGX_ESPACE : REGX_OK;
  for (size_t i = 0; rc == REGX_OK && i < blocks_needed; i++) {
    RegxBlock *b = (RegxBlock *)tlvpr_calloc(1, sizeof(RegxBlock));
    if (b == nullptr) {
      rc = REGX_ESPACE;
      break;
    }
    b->next = blocks;
    blocks = b;
    for (size_t j = 0; j < REGX_BLOCK_NODES && i * REGX_BLOCK_NODES + j <= reached; j++) {
      made[i * REGX_BLOCK_NODES + j] = &b->nodes[j];
    }
  }
  if (rc == REGX_OK) {
    RegxNode *end = made[reached];
    end->kind = RX_END;
    end->next = nullptr;
    end->arg.word = 1;
    for (size_t i = 0; i < reached; i++) {
      const RegxNode *n = order[i];
      RegxNode *c = made[i];
      *c = *n;
      if (n == literal) {
        c->next = end;
      } else if (n->next != nullptr) {
        c->next = made[copy[index(n->next)]];
      }
      if (n->kind == RX_ALT || n->kind == RX_BODY) {
        c->arg.node = made[copy[index(n->arg.node)]];
      } else if (n->kind == RX_LOOP) {
        c->arg.word = 0;  // the class loop entry is linked by the cut's own plan
      }
    }
    cut->pattern.flags = pattern->flags;
    cut->pattern.group_count = pattern->group_count;
    cut->pattern.arena = blocks;
    cut->pattern.program = made[0];
    cut->pattern.loop_count = pattern->loop_count;
  } else {
    regx_free_copies(blocks);
  }
  tlvpr_free(made);
  tlvpr_free(all);
  tlvpr_free(copy);
  return rc;
}

// regx_cuts_build - the cuts at the longest RX_CUTS of the later literals
// that a repetition or an alternation follows (kept in program order) whose
// cut program has a push bound
int regx_cuts_build(const RegxPattern *pattern, RegxPlan *plan, const RegxNode **later,
                    uint32_t later_count) {
  // Literals with no repetition or alternation after them on the main
  // sequence would cut nothing the bound counts.
  auto cuts_little = [](const RegxNode *n) {
    for (n = n->next; n != nullptr && n->kind != RX_END; n = n->next) {
      if (n->kind == RX_LOOP || n->kind == RX_ALT || n->kind == RX_SAVE) {
        return false;
      }
    }
    return true;
  };
  uint32_t useful = 0;
  for (uint32_t i = 0; i < later_count; i++) {
    if (!cuts_little(later[i])) {
      later[useful++] = later[i];
    }
  }
  later_count = useful;
  if (later_count == 0) {
    return REGX_OK;
  }
  auto length = [](const RegxNode *n) { return n->kind == RX_CHAR ? 1 : strlen(n->arg.text); };
  bool keep[RX_CUT_CANDIDATES] = {false};
  for (uint32_t kept = 0; kept < RX_CUTS && kept < later_count; kept++) {
    int best = -1;
    for (uint32_t i = 0; i < later_count; i++) {
      if (!keep[i] && (best < 0 || length(later[i]) > length(later[best]))) {
        best = (int)i;
      }
    }
    keep[best] = true;
  }
  plan->cuts = (RegxCut *)tlvpr_calloc(RX_CUTS, sizeof(RegxCut));
  if (plan->cuts == nullptr) {
    return REGX_ESPACE;
  }
  for (uint32_t i = 0; i < later_count; i++) {
    if (!keep[i]) {
      continue;
    }
    RegxCut *cut = &plan->cuts[plan->cut_count];
    if (regx_cut_copy(pattern, later[i], cut) != REGX_OK) {
      return REGX_ESPACE;
    }
    plan->cut_count++;  // released with the plan from here on
    if (cut->pattern.program != nullptr &&
        regx_plan_make(&cut->pattern, &cut->pattern.plan, false) != REGX_OK) {
      return REGX_ESPACE;
    }
    if (cut->pattern.plan == nullptr || !cut->pattern.plan->bounded) {
      regx_plan_release(cut->pattern.plan);
      regx_free_copies(cut->pattern.arena);
      memset(cut, 0, sizeof *cut);
      plan->cut_count--;
      continue;
    }
    if (later[i]->kind == RX_CHAR) {
      cut->byte[0] = (char)later[i]->arg.bytes[0];
      cut->text = cut->byte;
    } else {
      cut->text = later[i]->arg.text;
    }
  }
  if (plan->cut_count == 0) {
    tlvpr_free(plan->cuts);
    plan->cuts = nullptr;
  }
  return REGX_OK;
}

}  // namespace
