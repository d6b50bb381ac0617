// regx_set - a lazily built deterministic automaton over several programs
// (contract in regx_set.h).
//
// Each program becomes a Thompson automaton (one-byte tests, splits, the
// anchors, an accept node per pattern): a string is a chain of one-byte
// tests, an alternation a chain of splits whose branches meet in what follows
// the join, a repetition (of one one-byte test, or of a group whose every
// iteration takes a byte) m mandatory copies and then M - m optional ones or
// a star. Groups, RX_OPEN, RX_CLOSE, RX_CLEAR and the
// RX_SAVE/RX_RESTORE pairs only serve back-references and group positions,
// which a yes/no answer never reads, so they vanish. Bytes fall into classes
// that every test treats alike.
//
// A state of the deterministic automaton is the set of automaton nodes alive
// at a position (one-byte tests and $ tests that wait for the end) and the
// patterns that reached their accept node there. A transition is built the
// first time a scan needs it: the nodes whose test passes step on, the
// starts of the unanchored patterns join (their next start position), the
// closure follows splits and drops ^ (true only at position 0). The end of
// the subject lets the waiting $ tests pass (end_accept). In a set with word
// anchors a state also says whether the byte before it is a word byte (its
// classes keep word bytes apart), which settles the anchor's look back; an
// anchor whose look back holds waits among the state's nodes, and the next
// byte (or the end) settles its look ahead: the transition on that byte first
// lets in what follows the anchors it passes, at the same position. States are never
// freed before the set; a state is published complete by one release store
// into its predecessor's transition, so readers need no lock. Building
// takes the set's lock; a hash table over the states finds an existing one.
//
// The push bound shared with regx_exec.cpp and regx_plan.cpp: a set answers
// what an exhaustive search finds, which is regx_exec's result only where the
// plan's bound keeps the plain run within the limit and the stack, so a
// pattern joins only when that bound exists. Guarded by
// tests/regx_set_test.cpp (AnswersWhatAnExhaustiveSearchFinds,
// BoundsKeepThePlainRunWithinTheLimit) and tests/kelh_sets_test.cpp.
#include "regx_set.h"

#include <emmintrin.h>
#include <string.h>

#include <atomic>

#include "regx_internal.h"
#include "tlvpr_mem.h"
#include "tlvpr_sync.h"

namespace {

enum RegxNfaKind : uint8_t {
  RX_NFA_BYTE,    // one byte class: cls
  RX_NFA_SET,     // several classes: map (index into the class maps)
  RX_NFA_SPLIT,   // out and alt
  RX_NFA_BOL,     // out, only at position 0
  RX_NFA_EOL,     // out, only at the end
  RX_NFA_ACCEPT,  // pattern number in alt
  RX_NFA_DEAD,    // nothing follows
  RX_NFA_WORD,    // out, at a word start (cls 0) or a word end (cls 1)
};

struct RegxNfaNode {
  uint8_t kind;  // RegxNfaKind
  uint8_t cls;   // RX_NFA_BYTE: the byte while building, then its class
  uint32_t out;  // follower
  uint32_t alt;  // RX_NFA_SPLIT: second follower; RX_NFA_SET: map; RX_NFA_ACCEPT: pattern
};

// State flags. The last two only in sets with word anchors, where they are
// part of what a state is: the byte before it is a word byte, it is the start.
enum : uint32_t { RX_DSTATE_DEAD = 1, RX_DSTATE_WORD = 2, RX_DSTATE_START = 4 };
constexpr uint32_t RX_DSTATE_KIND = RX_DSTATE_WORD | RX_DSTATE_START;

// A transition word: the target state, with bit 0 set when reaching it needs
// a look (it accepts a pattern, or nothing can match any more); 0 until built.
// A transition of a state to itself also says, in bit 1, that the state is
// not examined yet, or in bit 2, that a scan may jump to the next byte that
// leaves it. States sit at 16-byte boundaries (regx_set_take), so the low
// bits are free.
constexpr uintptr_t RX_TAG_LOOK = 1;
constexpr uintptr_t RX_TAG_SELF = 2;
constexpr uintptr_t RX_TAG_SKIP = 4;
constexpr uintptr_t RX_TAGS = RX_TAG_LOOK | RX_TAG_SELF | RX_TAG_SKIP;

struct RegxDCold;

// What a scan reads of a state: the header, then one transition word per
// class. States live in pages of the set; what only building reads (the
// automaton nodes the state holds) lives apart, in RegxDCold, so the scanned
// part of the states is packed tight.
//
// A state that steps to itself on most bytes (the wait inside x.*y) is
// examined the first time a scan takes such a step (RX_TAG_SELF): when the
// bytes that leave it are at most RX_SKIP_BYTES (found by comparing node
// sets, without making the states they lead to), its transitions to itself
// are built and say so (RX_TAG_SKIP), and a scan jumps to the next of those
// bytes instead of stepping byte by byte.
enum : uint32_t { RX_SKIP_BYTES = 8 };
struct RegxDState {
  uint64_t accept;      // patterns that match once this state is reached
  uint64_t end_accept;  // patterns that match when the subject ends here
  uint32_t flags;       // RX_DSTATE_DEAD: nothing can match any more
  // Written under the set's lock, read atomically: 0 not examined yet; 1
  // examined, stepped byte by byte; 2 + n: only the n bytes of escape leave it.
  uint32_t skip;
  RegxDCold *cold;  // its building record
  uint8_t escape[RX_SKIP_BYTES];
};

// What building reads of a state, under the set's lock: the node set and the
// hash chain. The ascending automaton nodes follow the record as the first
// node and then the gaps between neighbours, seven bits to a byte (the high
// bit says another byte follows): one code per set, so equal sets have equal
// codes.
struct RegxDCold {
  RegxDCold *chain;  // next state in its hash bucket
  RegxDState *hot;   // the state
  uint32_t hash;
  uint32_t count;  // automaton nodes held
  uint32_t size;   // bytes of their code
};

// A page of state memory; the data follows the record.
struct RegxPage {
  RegxPage *next;
  size_t size;  // bytes of data
  size_t used;
};

constexpr size_t RX_PAGE_SIZE = 64 << 10;

}  // namespace

struct RegxSet {
  RegxSetBudget *budget;
  uint32_t count;      // patterns
  uint64_t all;        // the bits of every pattern
  uint8_t cls[256];    // byte to class
  uint32_t classes;    // number of classes
  bool words;          // some pattern has a word anchor
  uint8_t word[256];   // per class: its bytes are word bytes
  RegxNfaNode *nodes;  // the automaton
  uint32_t node_count;
  uint8_t (*maps)[32];  // class maps of RX_NFA_SET nodes: bit k for class k
  uint32_t map_count;
  uint32_t *starts;    // per pattern: its first node
  uint32_t *restarts;  // first nodes of the unanchored patterns
  uint32_t restart_count;
  // What the restarts reach after a byte that is not a word byte (0) and
  // after a word byte (1, in sets with word anchors): the nodes visited and
  // the nodes found, as bitmaps over the nodes, and the patterns accepted.
  // Every transition's closure starts from there.
  uint64_t *reach[2];
  uint32_t reach_count[2];
  uint64_t reach_accept[2];
  RegxDState *start;  // the state at position 0
  size_t bytes;       // held in all (read atomically)
  // Under the lock: the state table, the pages and the closure's working space.
  TlvprLock lock;
  RegxDCold **buckets;
  uint32_t bucket_mask;
  uint32_t state_count;
  RegxPage *hot_pages;  // newest first
  RegxPage *cold_pages;
  size_t charged;   // bytes of pages taken from the budget
  bool free_pages;  // pages are not charged (the start state's)
};

namespace {

// The working space of one build (a transition, or the start state), one
// block: the closure's visited nodes and its result as bitmaps over the
// nodes, its stack (each node at most once) followed by the seeds of a
// transition (the followers of a state's nodes and of the nodes its word
// anchors let in, and the restarts), its result, and the result's code.
struct RegxWork {
  uint64_t *visited;
  uint64_t *seen;
  uint32_t *stack;
  uint32_t *found;
  uint8_t *code;
  size_t words;  // of each bitmap
};

// regx_work_take - the working space for a set's builds; false without memory
bool regx_work_take(const RegxSet *set, RegxWork *w) {
  const size_t n = set->node_count;
  w->words = n / 64 + 1;
  const size_t size = 2 * w->words * sizeof(uint64_t) + (4 * n + REGX_SET_MAX_PATTERNS) * 4 + 5 * n;
  char *block = (char *)tlvpr_malloc(size);
  if (block == nullptr) {
    return false;
  }
  w->visited = (uint64_t *)block;
  w->seen = w->visited + w->words;
  w->stack = (uint32_t *)(w->seen + w->words);
  w->found = w->stack + 3 * n + REGX_SET_MAX_PATTERNS;
  w->code = (uint8_t *)(w->found + n);
  memset(w->seen, 0, w->words * sizeof(uint64_t));
  return true;
}

}  // namespace

namespace {

// regx_dstate_next - the transitions of a state
inline uintptr_t *regx_dstate_next(RegxDState *s) { return (uintptr_t *)(s + 1); }

// regx_dcold_code - the code of a state's automaton nodes
inline uint8_t *regx_dcold_code(RegxDCold *c) { return (uint8_t *)(c + 1); }

// regx_code_nodes - the code of count ascending nodes into out; its size
uint32_t regx_code_nodes(const uint32_t *nodes, uint32_t count, uint8_t *out) {
  uint32_t size = 0;
  uint32_t previous = 0;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t v = nodes[i] - previous;
    previous = nodes[i];
    while (v >= 0x80) {
      out[size++] = (uint8_t)(v | 0x80);
      v >>= 7;
    }
    out[size++] = (uint8_t)v;
  }
  return size;
}

// RegxNodeReader - the nodes of a code, one at a time
struct RegxNodeReader {
  const uint8_t *at;
  uint32_t node;
  uint32_t next() {
    uint32_t v = 0;
    for (int shift = 0;; shift += 7) {
      uint8_t b = *at++;
      v |= (uint32_t)(b & 0x7F) << shift;
      if (b < 0x80) {
        break;
      }
    }
    node += v;
    return node;
  }
};

// ------------------------------------------------------------ building

struct RegxNfaBuild {
  RegxSet *set;      // null: only count nodes
  uint32_t cap;      // nodes allocated in set->nodes
  uint32_t count;    // nodes made (or counted)
  int32_t left;      // nodes this pattern may still add
  uint32_t pattern;  // its number
  uint32_t dead;     // the shared dead node
  bool ok;
};

// regx_nfa_new - one node; 0 with ok cleared when out of room or memory
uint32_t regx_nfa_new(RegxNfaBuild *b, uint8_t kind, uint32_t out, uint32_t alt, uint8_t cls) {
  if (!b->ok || --b->left < 0) {
    b->ok = false;
    return 0;
  }
  if (b->set != nullptr) {
    if (b->count == b->cap) {
      uint32_t cap = b->cap == 0 ? 64 : b->cap * 2;
      RegxNfaNode *grown =
          (RegxNfaNode *)tlvpr_realloc(b->set->nodes, (size_t)cap * sizeof(RegxNfaNode));
      if (grown == nullptr) {
        b->ok = false;
        return 0;
      }
      b->set->nodes = grown;
      b->cap = cap;
    }
    RegxNfaNode *n = &b->set->nodes[b->count];
    n->kind = kind;
    n->cls = cls;
    n->out = out;
    n->alt = alt;
  }
  return b->count++;
}

// regx_nfa_bytes - the node of a one-byte test; a bitmap of several bytes is
// kept (deduplicated) until the classes are known
uint32_t regx_nfa_bytes(RegxNfaBuild *b, const uint8_t *bitmap, uint32_t out) {
  int members = 0;
  int last = 0;
  for (int i = 0; i < 32; i++) {
    if (bitmap[i] != 0) {
      members += __builtin_popcount(bitmap[i]);
      last = i * 8 + 31 - __builtin_clz(bitmap[i]);
    }
  }
  if (members == 1) {
    return regx_nfa_new(b, RX_NFA_BYTE, out, 0, (uint8_t)last);
  }
  if (members == 0) {
    return b->dead;
  }
  uint32_t map = 0;
  if (b->set != nullptr && b->ok) {
    RegxSet *set = b->set;
    while (map < set->map_count && memcmp(set->maps[map], bitmap, 32) != 0) {
      map++;
    }
    if (map == set->map_count) {
      uint8_t(*grown)[32] =
          (uint8_t(*)[32])tlvpr_realloc(set->maps, (size_t)(map + 1) * sizeof set->maps[0]);
      if (grown == nullptr) {
        b->ok = false;
        return 0;
      }
      set->maps = grown;
      memcpy(set->maps[map], bitmap, 32);
      set->map_count++;
    }
  }
  return regx_nfa_new(b, RX_NFA_SET, out, map, 0);
}

uint32_t regx_nfa_seq(RegxNfaBuild *b, const RegxNode *n, const RegxNode *stop, uint32_t cont);

// regx_nfa_alt - the branches of an alternation chain from a, each going on
// at rest after the join
uint32_t regx_nfa_alt(RegxNfaBuild *b, const RegxNode *a, const RegxNode *join, uint32_t rest) {
  if (a->kind != RX_ALT) {
    return b->dead;  // the chain's RX_FAIL
  }
  uint32_t tail = regx_nfa_alt(b, a->next, join, rest);
  uint32_t branch = regx_nfa_seq(b, a->arg.node, join, rest);
  return regx_nfa_new(b, RX_NFA_SPLIT, branch, tail, 0);
}

// regx_nfa_loop - a repetition of one one-byte test, going on at rest
uint32_t regx_nfa_loop(RegxNfaBuild *b, const RegxClassLoop *cl, uint32_t rest) {
  uint8_t bitmap[32];
  if (!regx_node_class(cl->item, bitmap)) {
    b->ok = false;
    return 0;
  }
  uint32_t at = rest;
  if (cl->unbounded) {
    // star: split into one more test or rest; the test leads back to the split
    uint32_t split = regx_nfa_new(b, RX_NFA_SPLIT, 0, rest, 0);
    uint32_t item = regx_nfa_bytes(b, bitmap, split);
    if (b->set != nullptr && b->ok) {
      b->set->nodes[split].out = item;
    }
    at = split;
  } else {
    for (uint32_t i = cl->min; i < cl->max; i++) {
      uint32_t item = regx_nfa_bytes(b, bitmap, at);
      at = regx_nfa_new(b, RX_NFA_SPLIT, item, rest, 0);
    }
  }
  for (uint32_t i = 0; i < cl->min; i++) {
    at = regx_nfa_bytes(b, bitmap, at);
  }
  return at;
}

// regx_nfa_group - a repeated group, going on at rest: the body m times, then
// M - m optional copies or a star. Only a body that takes at least one byte
// joins, or x? of any body (RegxGroupLoop.plain): the matcher's run is then
// the plain search of the repetition (the push bound makes the same demand).
uint32_t regx_nfa_group(RegxNfaBuild *b, const RegxNode *loop, uint32_t rest) {
  const RegxGroupLoop g = regx_group_loop(loop);
  if (!g.plain) {
    b->ok = false;
    return 0;
  }
  uint32_t at = rest;
  if (g.unbounded) {
    // star: split into one more body or rest; the body leads back to the split
    uint32_t split = regx_nfa_new(b, RX_NFA_SPLIT, 0, rest, 0);
    uint32_t item = regx_nfa_seq(b, g.body, g.loopback, split);
    if (b->set != nullptr && b->ok) {
      b->set->nodes[split].out = item;
    }
    at = split;
  } else {
    for (uint32_t i = g.min; i < g.max && b->ok; i++) {
      uint32_t item = regx_nfa_seq(b, g.body, g.loopback, at);
      at = regx_nfa_new(b, RX_NFA_SPLIT, item, rest, 0);
    }
  }
  for (uint32_t i = 0; i < g.min && b->ok; i++) {
    at = regx_nfa_seq(b, g.body, g.loopback, at);
  }
  return at;
}

// regx_nfa_seq - the automaton of the list from n up to stop, going on at cont
uint32_t regx_nfa_seq(RegxNfaBuild *b, const RegxNode *n, const RegxNode *stop, uint32_t cont) {
  // Groups and their save pairs only serve group positions: stepped over
  // here, so the recursion is as deep as the nodes it makes.
  while (n != stop && n != nullptr &&
         (n->kind == RX_OPEN || n->kind == RX_CLOSE || n->kind == RX_CLEAR || n->kind == RX_NOP ||
          n->kind == RX_SAVE)) {
    n = n->kind == RX_SAVE ? n->next->next : n->next;
  }
  if (!b->ok) {
    return 0;
  }
  if (n == stop) {
    return cont;
  }
  if (n == nullptr || b->left <= 0) {
    b->ok = false;
    return 0;
  }
  uint8_t bitmap[32];
  switch (n->kind) {
    case RX_CHAR:
    case RX_CHAR2:
    case RX_SET:
    case RX_NSET:
    case RX_ANY: {
      uint32_t rest = regx_nfa_seq(b, n->next, stop, cont);
      regx_node_class(n, bitmap);
      return regx_nfa_bytes(b, bitmap, rest);
    }
    case RX_STRING: {
      uint32_t rest = regx_nfa_seq(b, n->next, stop, cont);
      for (size_t i = strlen(n->arg.text); i > 0; i--) {
        rest = regx_nfa_new(b, RX_NFA_BYTE, rest, 0, (uint8_t)n->arg.text[i - 1]);
      }
      return rest;
    }
    case RX_BOL:
      return regx_nfa_new(b, RX_NFA_BOL, regx_nfa_seq(b, n->next, stop, cont), 0, 0);
    case RX_WORDB:
      return regx_nfa_new(b, RX_NFA_WORD, regx_nfa_seq(b, n->next, stop, cont), 0,
                          n->arg.word == 0 ? 0 : 1);
    case RX_EOL:
      return regx_nfa_new(b, RX_NFA_EOL, regx_nfa_seq(b, n->next, stop, cont), 0, 0);
    case RX_ALT: {
      const RegxNode *fail = regx_alt_end(n);
      if (fail->kind != RX_FAIL || fail->next == nullptr) {
        b->ok = false;
        return 0;
      }
      uint32_t rest = regx_nfa_seq(b, fail->next->next, stop, cont);
      return regx_nfa_alt(b, n, fail->next, rest);
    }
    case RX_LOOP: {
      const RegxClassLoop *cl = (const RegxClassLoop *)n->arg.word;
      if (cl == nullptr) {
        return regx_nfa_group(b, n, regx_nfa_seq(b, regx_group_loop(n).follow, stop, cont));
      }
      return regx_nfa_loop(b, cl, regx_nfa_seq(b, cl->follow, stop, cont));
    }
    case RX_END:
      if (n->arg.word != 1) {
        b->ok = false;
        return 0;
      }
      return regx_nfa_new(b, RX_NFA_ACCEPT, 0, b->pattern, 0);
    default:  // back-references, newline forms, a group repeated that may be empty
      b->ok = false;
      return 0;
  }
}

// regx_nfa_program - the automaton of one pattern; its first node in *first,
// and whether it is tried at every position
bool regx_nfa_program(RegxNfaBuild *b, const RegxPattern *pattern, uint32_t *first,
                      bool *unanchored) {
  if (pattern == nullptr || pattern->program == nullptr || pattern->plan == nullptr ||
      !pattern->plan->bounded || (pattern->flags & REGX_NEWLINE) != 0) {
    return false;
  }
  const RegxNode *program = pattern->program;
  *unanchored = program->kind == RX_SCAN || program->kind == RX_SCANCHAR;
  if (program->kind == RX_SCAN_NL) {
    return false;
  }
  b->left = REGX_SET_MAX_NODES;
  b->ok = true;
  *first = regx_nfa_seq(b, *unanchored ? program->next : program, nullptr, b->dead);
  return b->ok;
}

// regx_set_classes - splits the bytes into classes that every test treats
// alike, and turns the tests' bytes and bitmaps into classes
void regx_set_classes(RegxSet *set) {
  // Work with 16-bit ids while refining, since a step may need more than 256.
  uint16_t id[256];
  memset(id, 0, sizeof id);
  uint32_t count = 1;
  auto apply = [&](const uint8_t *bitmap) {
    uint16_t inside[512];
    for (uint32_t k = 0; k < count; k++) {
      inside[k] = 0xFFFF;
    }
    uint32_t next = count;
    for (int c = 0; c < 256; c++) {
      if (regx_bit(bitmap, (unsigned char)c)) {
        if (inside[id[c]] == 0xFFFF) {
          inside[id[c]] = (uint16_t)next++;
        }
        id[c] = inside[id[c]];
      }
    }
    // Dense renumbering in order of first appearance keeps ids below 256.
    uint16_t dense[512];
    for (uint32_t k = 0; k < next; k++) {
      dense[k] = 0xFFFF;
    }
    count = 0;
    for (int c = 0; c < 256; c++) {
      if (dense[id[c]] == 0xFFFF) {
        dense[id[c]] = (uint16_t)count++;
      }
      id[c] = dense[id[c]];
    }
  };
  uint8_t single[32];
  uint8_t seen[32];
  memset(seen, 0, sizeof seen);
  for (uint32_t i = 0; i < set->node_count; i++) {
    if (set->nodes[i].kind == RX_NFA_BYTE && !regx_bit(seen, set->nodes[i].cls)) {
      regx_set_bit(seen, set->nodes[i].cls);
      memset(single, 0, sizeof single);
      regx_set_bit(single, set->nodes[i].cls);
      apply(single);
    }
  }
  for (uint32_t m = 0; m < set->map_count; m++) {
    apply(set->maps[m]);
  }
  for (uint32_t i = 0; i < set->node_count; i++) {
    set->words = set->words || set->nodes[i].kind == RX_NFA_WORD;
  }
  uint8_t word[32];
  memset(word, 0, sizeof word);
  for (int c = 1; c < 256; c++) {
    if (regx_is_word((unsigned char)c)) {
      regx_set_bit(word, (unsigned char)c);
    }
  }
  if (set->words) {
    apply(word);
  }
  for (int c = 0; c < 256; c++) {
    set->cls[c] = (uint8_t)id[c];
    set->word[id[c]] = regx_bit(word, (unsigned char)c) ? 1 : 0;
  }
  set->classes = count;
  // Tests in classes: a byte becomes its class, a bitmap a class map.
  for (uint32_t i = 0; i < set->node_count; i++) {
    if (set->nodes[i].kind == RX_NFA_BYTE) {
      set->nodes[i].cls = set->cls[set->nodes[i].cls];
    }
  }
  for (uint32_t m = 0; m < set->map_count; m++) {
    uint8_t map[32];
    memset(map, 0, sizeof map);
    for (int c = 0; c < 256; c++) {
      if (regx_bit(set->maps[m], (unsigned char)c)) {
        regx_set_bit(map, set->cls[c]);
      }
    }
    memcpy(set->maps[m], map, sizeof map);
  }
}

// ------------------------------------------------------------ states

// regx_set_charge - takes size bytes from the budget; false when it is spent
bool regx_set_charge(RegxSet *set, size_t size) {
  std::atomic_ref<size_t> used(set->budget->used);
  size_t now = used.load(std::memory_order_relaxed);
  do {
    if (now + size > set->budget->cap || now + size < now) {
      return false;
    }
  } while (!used.compare_exchange_weak(now, now + size, std::memory_order_relaxed));
  std::atomic_ref<size_t>(set->bytes).fetch_add(size, std::memory_order_relaxed);
  return true;
}

// regx_set_refund - gives size bytes back to the budget
void regx_set_refund(RegxSet *set, size_t size) {
  std::atomic_ref<size_t>(set->budget->used).fetch_sub(size, std::memory_order_relaxed);
  std::atomic_ref<size_t>(set->bytes).fetch_sub(size, std::memory_order_relaxed);
}

// regx_set_pay - accounts for a page of whole bytes: charged to the budget
// (false when it is spent), or only counted for the start state's pages
bool regx_set_pay(RegxSet *set, size_t whole) {
  if (set->free_pages) {
    std::atomic_ref<size_t>(set->bytes).fetch_add(whole, std::memory_order_relaxed);
    return true;
  }
  if (!regx_set_charge(set, whole)) {
    return false;
  }
  set->charged += whole;
  return true;
}

// Where a closure is taken: at the start, at the end, after a word byte, and
// what the next byte is, when it is known (a word byte or not).
struct RegxPlace {
  bool start;
  bool end;
  bool after_word;
  int next;  // -1 unknown, 0 not a word byte, 1 a word byte
};

// regx_set_closure - the nodes alive after following splits and anchors from
// the seeds, ascending, in w->found; their count, and the patterns
// accepted on the way in *accept. A word anchor whose byte before fails it
// is dropped; one that waits for the next byte stays among the nodes. With
// a reach (the restarts' closure at the same place), what it visited is not
// followed again and what it found and accepted joins the result.
uint32_t regx_set_closure(const RegxSet *set, RegxWork *w, const uint32_t *seeds, uint32_t nseeds,
                          const RegxPlace &at, uint64_t *accept, int reach = -1) {
  const bool at_start = at.start;
  const bool at_end = at.end;
  uint32_t depth = 0;
  uint32_t found = 0;
  uint64_t accepted = 0;
  if (reach >= 0) {
    memcpy(w->visited, set->reach[reach], w->words * sizeof(uint64_t));
    const uint64_t *reached = set->reach[reach] + w->words;
    for (size_t i = 0; i < w->words; i++) {
      w->seen[i] = reached[i];
    }
    accepted = set->reach_accept[reach];
  } else {
    memset(w->visited, 0, w->words * sizeof(uint64_t));
  }
  auto push = [&](uint32_t u) {
    if ((w->visited[u >> 6] >> (u & 63) & 1) == 0) {
      w->visited[u >> 6] |= (uint64_t)1 << (u & 63);
      w->stack[depth++] = u;
    }
  };
  for (uint32_t i = 0; i < nseeds; i++) {
    push(seeds[i]);
  }
  while (depth > 0) {
    uint32_t u = w->stack[--depth];
    const RegxNfaNode &n = set->nodes[u];
    switch (n.kind) {
      case RX_NFA_BYTE:
      case RX_NFA_SET:
        if (!at_end) {
          w->found[found++] = u;
        }
        break;
      case RX_NFA_SPLIT:
        push(n.alt);
        push(n.out);
        break;
      case RX_NFA_BOL:
        if (at_start) {
          push(n.out);
        }
        break;
      case RX_NFA_EOL:
        if (at_end) {
          push(n.out);
        } else {
          w->found[found++] = u;
        }
        break;
      case RX_NFA_ACCEPT:
        accepted |= (uint64_t)1 << n.alt;
        break;
      case RX_NFA_WORD: {
        // \< needs no word byte before and one after, \> the other way round
        const bool start = n.cls == 0;
        const int next = at_end ? 0 : at.next;
        if (at.after_word == start) {
          break;
        }
        if (next < 0) {
          w->found[found++] = u;
        } else if ((next == 1) == start) {
          push(n.out);
        }
        break;
      }
      default:
        break;
    }
  }
  // Ascending order makes equal sets equal arrays: the nodes found go
  // through a bitmap over all nodes.
  for (uint32_t i = 0; i < found; i++) {
    w->seen[w->found[i] >> 6] |= (uint64_t)1 << (w->found[i] & 63);
  }
  found += reach >= 0 ? set->reach_count[reach] : 0;
  uint32_t out = 0;
  for (size_t word = 0; out < found; word++) {
    uint64_t bits = w->seen[word];
    w->seen[word] = 0;
    while (bits != 0) {
      w->found[out++] = 64 * (uint32_t)word + (uint32_t)__builtin_ctzll(bits);
      bits &= bits - 1;
    }
  }
  *accept = accepted;
  return found;
}

// regx_set_hash - the hash of a node set's code with its accepted patterns
uint32_t regx_set_hash(const uint8_t *code, uint32_t size, uint64_t accept) {
  uint64_t h = 0xcbf29ce484222325ull ^ accept;
  for (uint32_t i = 0; i < size; i++) {
    h = (h ^ code[i]) * 0x100000001b3ull;
  }
  return (uint32_t)(h ^ (h >> 32));
}

// regx_set_take - size bytes of a page list (under the lock), a new page
// when the newest is full; null when the budget is spent or memory runs out
void *regx_set_take(RegxSet *set, RegxPage **pages, size_t size) {
  size = (size + 15) & ~(size_t)15;
  RegxPage *page = *pages;
  if (page == nullptr || page->used + size > page->size) {
    // Pages grow from 2 KB to RX_PAGE_SIZE, so a set with few states stays small.
    size_t data = page == nullptr ? 2048 : page->size * 2;
    data = data > RX_PAGE_SIZE ? RX_PAGE_SIZE : data;
    data = size > data / 2 ? size : data;
    const size_t whole = sizeof(RegxPage) + 16 + data;
    RegxPage *fresh = (RegxPage *)tlvpr_malloc(whole);
    if (fresh == nullptr || !regx_set_pay(set, whole)) {
      tlvpr_free(fresh);
      return nullptr;
    }
    fresh->size = data;
    fresh->used = 0;
    if (size > RX_PAGE_SIZE / 2 && page != nullptr) {
      // A big one on a page of its own, behind the newest, which stays in use.
      fresh->next = page->next;
      page->next = fresh;
    } else {
      fresh->next = page;
      *pages = fresh;
    }
    page = fresh;
  }
  char *data = (char *)(page + 1);
  data += (16 - (uintptr_t)data % 16) % 16;
  void *at = data + page->used;
  page->used += size;
  return at;
}

// regx_set_pages_free - frees a page list
void regx_set_pages_free(RegxPage *page) {
  while (page != nullptr) {
    RegxPage *next = page->next;
    tlvpr_free(page);
    page = next;
  }
}

// regx_set_grow_table - doubles the bucket array; false without memory
bool regx_set_grow_table(RegxSet *set) {
  uint32_t size = (set->bucket_mask + 1) * 2;
  RegxDCold **buckets = (RegxDCold **)tlvpr_calloc(size, sizeof(RegxDCold *));
  if (buckets == nullptr) {
    return false;
  }
  for (uint32_t i = 0; i <= set->bucket_mask; i++) {
    RegxDCold *c = set->buckets[i];
    while (c != nullptr) {
      RegxDCold *next = c->chain;
      c->chain = buckets[c->hash & (size - 1)];
      buckets[c->hash & (size - 1)] = c;
      c = next;
    }
  }
  tlvpr_free(set->buckets);
  std::atomic_ref<size_t>(set->bytes)
      .fetch_add((size / 2) * sizeof(RegxDCold *), std::memory_order_relaxed);
  set->buckets = buckets;
  set->bucket_mask = size - 1;
  return true;
}

// regx_set_state - the state of the node set in w->found and accept, found
// or made; null when the budget is spent or memory runs out (under the lock)
RegxDState *regx_set_state(RegxSet *set, RegxWork *w, uint32_t count, uint64_t accept,
                           uint32_t kind) {
  const uint32_t size = regx_code_nodes(w->found, count, w->code);
  const uint32_t hash = regx_set_hash(w->code, size, accept) ^ kind;
  for (RegxDCold *c = set->buckets[hash & set->bucket_mask]; c != nullptr; c = c->chain) {
    if (c->hash == hash && c->size == size && c->hot->accept == accept &&
        (c->hot->flags & RX_DSTATE_KIND) == kind &&
        memcmp(regx_dcold_code(c), w->code, size) == 0) {
      return c->hot;
    }
  }
  if (set->state_count >= set->bucket_mask && !regx_set_grow_table(set)) {
    return nullptr;
  }
  RegxDState *s = (RegxDState *)regx_set_take(
      set, &set->hot_pages, sizeof(RegxDState) + set->classes * sizeof(uintptr_t));
  RegxDCold *c = s == nullptr
                     ? nullptr
                     : (RegxDCold *)regx_set_take(set, &set->cold_pages, sizeof(RegxDCold) + size);
  if (c == nullptr) {
    return nullptr;  // a hot part taken stays unused in its page
  }
  memset(s, 0, sizeof(RegxDState) + set->classes * sizeof(uintptr_t));
  s->accept = accept;
  s->flags = kind;
  s->cold = c;
  c->hot = s;
  c->count = count;
  c->size = size;
  c->hash = hash;
  memcpy(regx_dcold_code(c), w->code, size);
  if (count == 0 && set->restart_count == 0) {
    s->flags |= RX_DSTATE_DEAD;
  }
  // What the end of the subject adds: the $ tests and the word ends waiting
  // here pass. The closures overwrite w->found; the nodes are read from the code.
  const RegxPlace end = {(kind & RX_DSTATE_START) != 0, true, (kind & RX_DSTATE_WORD) != 0, 0};
  RegxNodeReader held = {regx_dcold_code(c), 0};
  uint32_t seeds[64];
  uint32_t eols = 0;
  for (uint32_t i = 0; i <= count; i++) {
    if (eols == 64 || (i == count && eols > 0)) {
      uint64_t part;
      regx_set_closure(set, w, seeds, eols, end, &part);
      s->end_accept |= part;
      eols = 0;
    }
    if (i < count) {
      const uint32_t node = held.next();
      if (set->nodes[node].kind == RX_NFA_EOL || set->nodes[node].kind == RX_NFA_WORD) {
        seeds[eols++] = node;
      }
    }
  }
  c->chain = set->buckets[hash & set->bucket_mask];
  set->buckets[hash & set->bucket_mask] = c;
  set->state_count++;
  return s;
}

// regx_set_word - the transition word of a state: tagged when it needs a look
inline uintptr_t regx_set_word(const RegxDState *t) {
  return (uintptr_t)t | (t->accept != 0 || (t->flags & RX_DSTATE_DEAD) != 0 ? RX_TAG_LOOK : 0);
}

// regx_set_target - what s steps to on class k (under the lock): the node
// set in w->found (its count returned), the patterns it accepts in *accept
// and its kind in *kind
uint32_t regx_set_target(const RegxSet *set, const RegxDState *s, uint32_t k, RegxWork *w,
                         uint64_t *accept, uint32_t *kind) {
  // Seeds: the followers of the tests that pass on k, among the nodes the
  // word anchors waiting here let in once k is known and among the state's
  // own, behind the closure's stack; the restarts' closure joins them.
  const RegxDCold *cold = s->cold;
  uint32_t seeds = 0;
  uint32_t *seed = w->stack + set->node_count;
  auto step = [&](uint32_t node) {
    const RegxNfaNode &n = set->nodes[node];
    bool pass = n.kind == RX_NFA_BYTE  ? n.cls == k
                : n.kind == RX_NFA_SET ? regx_bit(set->maps[n.alt], (unsigned char)k)
                                       : false;
    if (pass) {
      seed[seeds++] = n.out;
    }
  };
  uint64_t before = 0;  // patterns that match in front of k
  if (set->words) {
    RegxNodeReader held = {regx_dcold_code(const_cast<RegxDCold *>(cold)), 0};
    uint32_t anchors = 0;
    for (uint32_t i = 0; i < cold->count; i++) {
      const RegxNfaNode &n = set->nodes[held.next()];
      if (n.kind == RX_NFA_WORD && (set->word[k] != 0) == (n.cls == 0)) {
        seed[anchors++] = n.out;
      }
    }
    if (anchors > 0) {
      const RegxPlace here = {(s->flags & RX_DSTATE_START) != 0, false,
                              (s->flags & RX_DSTATE_WORD) != 0, set->word[k]};
      const uint32_t let_in = regx_set_closure(set, w, seed, anchors, here, &before);
      for (uint32_t i = 0; i < let_in; i++) {
        step(w->found[i]);
      }
    }
  }
  RegxNodeReader held = {regx_dcold_code(const_cast<RegxDCold *>(cold)), 0};
  for (uint32_t i = 0; i < cold->count; i++) {
    step(held.next());
  }
  const bool after_word = set->words && set->word[k] != 0;
  const RegxPlace next = {false, false, after_word, -1};
  const uint32_t count =
      regx_set_closure(set, w, seed, seeds, next, accept, set->restart_count > 0 ? after_word : -1);
  *accept |= before;
  *kind = after_word ? (uint32_t)RX_DSTATE_WORD : 0u;
  return count;
}

// regx_set_step - the transition word of s on class k, built under the lock;
// 0 when the state cannot be built
uintptr_t regx_set_step(RegxSet *set, RegxDState *s, uint32_t k) {
  tlvpr_lock(&set->lock);
  std::atomic_ref<uintptr_t> slot(regx_dstate_next(s)[k]);
  uintptr_t word = slot.load(std::memory_order_acquire);
  RegxWork w;
  if (word == 0 && regx_work_take(set, &w)) {
    uint64_t accept;
    uint32_t kind;
    const uint32_t count = regx_set_target(set, s, k, &w, &accept, &kind);
    RegxDState *t = regx_set_state(set, &w, count, accept, kind);
    if (t != nullptr) {
      word = regx_set_word(t);
      if (t == s && std::atomic_ref<uint32_t>(s->skip).load(std::memory_order_relaxed) == 0) {
        word |= RX_TAG_SELF;
      }
      slot.store(word, std::memory_order_release);
    }
    tlvpr_free(w.visited);
  }
  tlvpr_unlock(&set->lock);
  return word;
}

// regx_set_examine - once per state that steps to itself (a later call finds
// it examined): when at most RX_SKIP_BYTES bytes leave it, its transitions
// to itself are built and say so, and the bytes are noted; the transitions
// that leave are built when a scan takes them. Sets with word anchors get
// no skips (a state there also says whether a word byte came last, so it
// steps to itself on one kind of byte only).
void regx_set_examine(RegxSet *set, RegxDState *s) {
  tlvpr_lock(&set->lock);
  std::atomic_ref<uint32_t> skip(s->skip);
  if (skip.load(std::memory_order_relaxed) != 0) {
    tlvpr_unlock(&set->lock);
    return;
  }
  // Per class: its bytes (the subject holds no NUL), then whether it leaves.
  uint16_t bytes[256];
  bool leaves[256];
  memset(bytes, 0, sizeof bytes);
  for (uint32_t b = 1; b < 256; b++) {
    bytes[set->cls[b]]++;
  }
  RegxWork w;
  w.visited = nullptr;
  bool few = !set->words && regx_work_take(set, &w);
  uint32_t escapes = 0;
  for (uint32_t k = 0; k < set->classes && few; k++) {
    const uintptr_t word =
        std::atomic_ref<uintptr_t>(regx_dstate_next(s)[k]).load(std::memory_order_relaxed);
    if (word != 0 || bytes[k] == 0) {
      leaves[k] = bytes[k] != 0 && (RegxDState *)(word & ~RX_TAGS) != s;
    } else {
      uint64_t accept;
      uint32_t kind;
      const uint32_t count = regx_set_target(set, s, k, &w, &accept, &kind);
      const uint32_t code = regx_code_nodes(w.found, count, w.code);
      leaves[k] = accept != s->accept || kind != (s->flags & RX_DSTATE_KIND) ||
                  count != s->cold->count || code != s->cold->size ||
                  memcmp(w.code, regx_dcold_code(s->cold), code) != 0;
    }
    escapes += leaves[k] ? bytes[k] : 0;
    few = escapes <= RX_SKIP_BYTES;
  }
  tlvpr_free(w.visited);
  // The escape bytes first, then the transitions to itself that say so.
  uint32_t n = 0;
  for (uint32_t b = 1; b < 256 && few; b++) {
    if (leaves[set->cls[b]]) {
      s->escape[n++] = (uint8_t)b;
    }
  }
  skip.store(few ? 2 + n : 1, std::memory_order_relaxed);
  const uintptr_t self = regx_set_word(s);
  for (uint32_t k = 0; k < set->classes; k++) {
    std::atomic_ref<uintptr_t> slot(regx_dstate_next(s)[k]);
    const uintptr_t word = slot.load(std::memory_order_relaxed);
    if ((RegxDState *)(word & ~RX_TAGS) == s) {
      slot.store((word & ~RX_TAG_SELF) | (few ? RX_TAG_SKIP : 0), std::memory_order_release);
    } else if (few && word == 0 && !leaves[k] && bytes[k] != 0) {
      slot.store(self | RX_TAG_SKIP, std::memory_order_release);
    }
  }
  tlvpr_unlock(&set->lock);
}

// regx_set_find - the first place from i on (at most length) holding one of
// the bytes of want (W of them, repeats allowed), 16 bytes at a time
template <uint32_t W>
size_t regx_set_find(const unsigned char *p, size_t i, size_t length, const uint8_t *want) {
  __m128i v[W];
  for (uint32_t j = 0; j < W; j++) {
    v[j] = _mm_set1_epi8((char)want[j]);
  }
  for (; i + 16 <= length; i += 16) {
    const __m128i x = _mm_loadu_si128((const __m128i *)(p + i));
    __m128i hit = _mm_cmpeq_epi8(x, v[0]);
    for (uint32_t j = 1; j < W; j++) {
      hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, v[j]));
    }
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) {
      return i + (size_t)__builtin_ctz((unsigned)mask);
    }
  }
  for (; i < length; i++) {
    for (uint32_t j = 0; j < W; j++) {
      if (p[i] == want[j]) {
        return i;
      }
    }
  }
  return length;
}

// regx_set_skip - the first place from i on (at most length) holding one of
// the n escape bytes
size_t regx_set_skip(const unsigned char *p, size_t i, size_t length, const uint8_t *escape,
                     uint32_t n) {
  if (n == 0) {
    return length;
  }
  if (n == 1) {
    const void *at = memchr(p + i, escape[0], length - i);
    return at != nullptr ? (size_t)((const unsigned char *)at - p) : length;
  }
  // A fixed number of tests, the last byte repeated, keeps them in registers.
  uint8_t want[RX_SKIP_BYTES];
  for (uint32_t j = 0; j < RX_SKIP_BYTES; j++) {
    want[j] = escape[j < n ? j : n - 1];
  }
  return n <= 2   ? regx_set_find<2>(p, i, length, want)
         : n <= 4 ? regx_set_find<4>(p, i, length, want)
                  : regx_set_find<RX_SKIP_BYTES>(p, i, length, want);
}

}  // namespace

// regx_set_accepts - whether the pattern can join a set
int regx_set_accepts(const RegxPattern *pattern) {
  RegxNfaBuild b;
  memset(&b, 0, sizeof b);
  uint32_t first;
  bool unanchored;
  return regx_nfa_program(&b, pattern, &first, &unanchored) ? 1 : 0;
}

// regx_set_anchored - whether the program has no scan node in front
int regx_set_anchored(const RegxPattern *pattern) {
  if (pattern == nullptr || pattern->program == nullptr) {
    return 0;
  }
  const int32_t kind = pattern->program->kind;
  return kind != RX_SCAN && kind != RX_SCANCHAR && kind != RX_SCAN_NL;
}

// regx_set_longest - the longest subject a set's answer is exact for
int64_t regx_set_longest(const RegxPattern *pattern, uint32_t limit) {
  if (pattern == nullptr || pattern->plan == nullptr) {
    return -1;
  }
  return regx_plan_longest(pattern->plan, pattern, limit);
}

// regx_set_fits - whether the set's answer is exact for one subject; the
// first RX_BOUND_SAMPLE answers are counted for regx_set_bound_pays
int regx_set_fits(const RegxPattern *pattern, uint32_t limit, RegxSubject *subject) {
  if (pattern == nullptr || pattern->plan == nullptr || subject == nullptr) {
    return 0;
  }
  RegxPlan *plan = pattern->plan;
  std::atomic_ref<uint32_t> asked(plan->bound_asked);
  const bool sampled = asked.load(std::memory_order_relaxed) < RX_BOUND_SAMPLE &&
                       asked.fetch_add(1, std::memory_order_relaxed) < RX_BOUND_SAMPLE;
  const bool fits = regx_plan_fits_subject(plan, pattern, limit, subject);
  if (sampled && !fits) {
    std::atomic_ref<uint32_t>(plan->bound_failed).fetch_add(1, std::memory_order_relaxed);
  }
  return fits ? 1 : 0;
}

// regx_set_bound_pays - whether regx_set_fits is worth asking for the pattern
//
// Where the bound fails the caller runs the matcher after it, so a pattern
// whose bound fails on many subjects costs both on them: past one in eight of
// the sample, the matcher alone costs less (the bound's evaluation is
// mostly dearer than a matcher's run of the same pattern)
int regx_set_bound_pays(const RegxPattern *pattern) {
  if (pattern == nullptr || pattern->plan == nullptr) {
    return 0;
  }
  RegxPlan *plan = pattern->plan;
  return std::atomic_ref<uint32_t>(plan->bound_failed).load(std::memory_order_relaxed) <=
                 RX_BOUND_SAMPLE_FAILS
             ? 1
             : 0;
}

// regx_subject_init - counts a subject's bytes for the bounds
//
// The counters are cleared with sixteen-byte stores, four to a step: a string
// instruction's start-up (what memset becomes here) costs about as much as the
// stores themselves, and a line is measured once per message.
void regx_subject_init(RegxSubject *subject, const char *text, size_t length) {
  subject->text = (const unsigned char *)text;
  subject->length = length;
  static_assert(sizeof subject->counts % 64 == 0, "the counters clear 64 bytes a step");
  __m128i *counts = (__m128i *)subject->counts;
  const __m128i zero = _mm_setzero_si128();
  for (size_t i = 0; i < sizeof subject->counts / 16; i += 4) {
    _mm_storeu_si128(counts + i, zero);
    _mm_storeu_si128(counts + i + 1, zero);
    _mm_storeu_si128(counts + i + 2, zero);
    _mm_storeu_si128(counts + i + 3, zero);
  }
  for (size_t i = 0; i < length; i++) {
    ++subject->counts[subject->text[i]];
  }
  subject->measure_count = 0;
}

// regx_set_create - the automaton of count patterns and its start state
int regx_set_create(RegxSet **out, const RegxPattern *const *patterns, uint32_t count,
                    RegxSetBudget *budget) {
  if (out == nullptr || patterns == nullptr || budget == nullptr || count == 0 ||
      count > REGX_SET_MAX_PATTERNS) {
    return REGX_EFATAL;
  }
  RegxSet *set = (RegxSet *)tlvpr_calloc(1, sizeof(RegxSet));
  if (set == nullptr) {
    return REGX_ESPACE;
  }
  set->budget = budget;
  set->count = count;
  set->all = count == 64 ? ~(uint64_t)0 : ((uint64_t)1 << count) - 1;
  set->starts = (uint32_t *)tlvpr_calloc(count, sizeof(uint32_t));
  set->restarts = (uint32_t *)tlvpr_calloc(count, sizeof(uint32_t));
  if (tlvpr_lock_init(&set->lock) != 0) {
    tlvpr_free(set->starts);
    tlvpr_free(set->restarts);
    tlvpr_free(set);
    return REGX_ESPACE;
  }
  int rc = set->starts != nullptr && set->restarts != nullptr ? REGX_OK : REGX_ESPACE;
  RegxNfaBuild b;
  memset(&b, 0, sizeof b);
  b.set = set;
  b.ok = true;
  b.left = 1;
  b.dead = regx_nfa_new(&b, RX_NFA_DEAD, 0, 0, 0);
  if (!b.ok) {
    rc = REGX_ESPACE;
  }
  for (uint32_t i = 0; rc == REGX_OK && i < count; i++) {
    bool unanchored;
    b.pattern = i;
    if (!regx_nfa_program(&b, patterns[i], &set->starts[i], &unanchored)) {
      rc = regx_set_accepts(patterns[i]) ? REGX_ESPACE : REGX_ENOSYS;
      break;
    }
    if (unanchored) {
      set->restarts[set->restart_count++] = set->starts[i];
    }
  }
  set->node_count = b.count;
  if (rc == REGX_OK) {
    regx_set_classes(set);
    set->buckets = (RegxDCold **)tlvpr_calloc(16, sizeof(RegxDCold *));
    set->bucket_mask = 15;
    if (set->buckets == nullptr) {
      rc = REGX_ESPACE;
    }
  }
  RegxWork w;
  w.visited = nullptr;
  if (rc == REGX_OK && !regx_work_take(set, &w)) {
    rc = REGX_ESPACE;
  }
  if (rc == REGX_OK) {
    std::atomic_ref<size_t>(set->bytes)
        .fetch_add(sizeof(RegxSet) + set->node_count * sizeof(RegxNfaNode) + set->map_count * 32 +
                       2 * count * sizeof(uint32_t) + 16 * sizeof(RegxDCold *),
                   std::memory_order_relaxed);
    // What the restarts reach, once for every transition.
    const uint32_t reaches = set->restart_count == 0 ? 0 : set->words ? 2 : 1;
    for (uint32_t r = 0; r < reaches && rc == REGX_OK; r++) {
      set->reach[r] = (uint64_t *)tlvpr_calloc(2 * w.words, sizeof(uint64_t));
      if (set->reach[r] == nullptr) {
        rc = REGX_ESPACE;
        break;
      }
      std::atomic_ref<size_t>(set->bytes)
          .fetch_add(2 * w.words * sizeof(uint64_t), std::memory_order_relaxed);
      const RegxPlace at = {false, false, r == 1, -1};
      const uint32_t n =
          regx_set_closure(set, &w, set->restarts, set->restart_count, at, &set->reach_accept[r]);
      memcpy(set->reach[r], w.visited, w.words * sizeof(uint64_t));
      for (uint32_t i = 0; i < n; i++) {
        set->reach[r][w.words + (w.found[i] >> 6)] |= (uint64_t)1 << (w.found[i] & 63);
      }
      set->reach_count[r] = n;
    }
  }
  if (rc == REGX_OK) {
    // The start state is part of the set: its pages are not charged.
    uint64_t accept;
    const RegxPlace start = {true, false, false, -1};
    uint32_t n = regx_set_closure(set, &w, set->starts, count, start, &accept);
    set->free_pages = true;
    set->start = regx_set_state(set, &w, n, accept, set->words ? (uint32_t)RX_DSTATE_START : 0u);
    set->free_pages = false;
    if (set->start == nullptr) {
      rc = REGX_ESPACE;
    }
  }
  tlvpr_free(w.visited);
  if (rc != REGX_OK) {
    regx_set_free(set);
    return rc;
  }
  // Each member's sample for regx_set_bound_pays starts again.
  for (uint32_t i = 0; i < count; i++) {
    std::atomic_ref<uint32_t>(patterns[i]->plan->bound_asked).store(0, std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(patterns[i]->plan->bound_failed).store(0, std::memory_order_relaxed);
  }
  *out = set;
  return REGX_OK;
}

namespace {

// RegxScan - one subject's scan in progress
struct RegxScan {
  const unsigned char *p;
  size_t i;  // the next byte
  size_t length;
  RegxDState *s;
  uint64_t accept;
  int rc;  // -1 while running, then regx_set_scan's result
};

// regx_scan_begin - a scan of the subject from the start state
inline RegxScan regx_scan_begin(RegxSet *set, const char *text, size_t length) {
  RegxScan t = {(const unsigned char *)text, 0, length, set->start, set->start->accept, -1};
  t.rc = text == nullptr || length == 0 ? 1 : -1;
  return t;
}

// regx_scan_word - the transition word for the scan's next byte
inline uintptr_t regx_scan_word(const RegxSet *set, const RegxScan &t) {
  return std::atomic_ref<uintptr_t>(regx_dstate_next(t.s)[set->cls[t.p[t.i]]])
      .load(std::memory_order_acquire);
}

// regx_scan_step - takes the word: the common step (the next state as it
// stands) inline, the others (a state to build, a look at the answers, a skip,
// a state to examine) beside it. Inlined into its callers so the scan stays in
// registers.
__attribute__((always_inline)) inline void regx_scan_step(RegxSet *set, RegxScan &t,
                                                          uintptr_t word) {
  if ((word & RX_TAGS) == 0 && word != 0) {
    t.s = (RegxDState *)word;
    if (++t.i == t.length) {
      t.accept |= t.s->end_accept;
      t.rc = 0;
    }
    return;
  }
  if (word == 0) {
    word = regx_set_step(set, t.s, set->cls[t.p[t.i]]);
    if (word == 0) {
      t.rc = 1;
      return;
    }
  }
  t.i++;
  t.s = (RegxDState *)(word & ~RX_TAGS);
  if ((word & RX_TAG_LOOK) != 0) {
    t.accept |= t.s->accept;
    if ((t.s->flags & RX_DSTATE_DEAD) != 0 || t.accept == set->all) {
      t.rc = 0;
      return;
    }
  }
  if ((word & RX_TAG_SKIP) != 0) {
    const uint32_t skip = std::atomic_ref<uint32_t>(t.s->skip).load(std::memory_order_relaxed);
    t.i = regx_set_skip(t.p, t.i, t.length, t.s->escape, skip - 2);
  } else if ((word & RX_TAG_SELF) != 0) {
    regx_set_examine(set, t.s);
  }
  if (t.i >= t.length) {
    t.accept |= t.s->end_accept;
    t.rc = 0;
  }
}

// regx_scan_end - the scan's result, its answer in *matched when it has one
inline int regx_scan_end(const RegxScan &t, uint64_t *matched) {
  if (t.rc == 0) {
    *matched = t.accept;
  }
  return t.rc;
}

}  // namespace

// regx_set_scan - which patterns match the subject, in one pass
int regx_set_scan(RegxSet *set, const char *text, size_t length, uint64_t *matched) {
  if (set == nullptr || matched == nullptr) {
    return 1;
  }
  RegxScan t = regx_scan_begin(set, text, length);
  while (t.rc < 0) {
    regx_scan_step(set, t, regx_scan_word(set, t));
  }
  return regx_scan_end(t, matched);
}

// regx_set_scan_two - two scans stepped in turn: each step's load waits for
// its own scan's last one only, so the two chains of loads overlap
void regx_set_scan_two(RegxSet *const sets[2], const char *const texts[2], const size_t lengths[2],
                       uint64_t matched[2], int results[2]) {
  if (sets[0] == nullptr || sets[1] == nullptr) {
    for (int k = 0; k < 2; k++) {
      results[k] = regx_set_scan(sets[k], texts[k], lengths[k], &matched[k]);
    }
    return;
  }
  RegxScan a = regx_scan_begin(sets[0], texts[0], lengths[0]);
  RegxScan b = regx_scan_begin(sets[1], texts[1], lengths[1]);
  while (a.rc < 0 && b.rc < 0) {
    const uintptr_t wa = regx_scan_word(sets[0], a);
    const uintptr_t wb = regx_scan_word(sets[1], b);
    regx_scan_step(sets[0], a, wa);
    regx_scan_step(sets[1], b, wb);
  }
  while (a.rc < 0) {
    regx_scan_step(sets[0], a, regx_scan_word(sets[0], a));
  }
  while (b.rc < 0) {
    regx_scan_step(sets[1], b, regx_scan_word(sets[1], b));
  }
  results[0] = regx_scan_end(a, &matched[0]);
  results[1] = regx_scan_end(b, &matched[1]);
}

// regx_set_bytes - what the set holds
size_t regx_set_bytes(const RegxSet *set) {
  if (set == nullptr) {
    return 0;
  }
  return std::atomic_ref<size_t>(const_cast<RegxSet *>(set)->bytes).load(std::memory_order_relaxed);
}

// regx_set_free - frees the set, its states and its automaton
void regx_set_free(RegxSet *set) {
  if (set == nullptr) {
    return;
  }
  regx_set_pages_free(set->hot_pages);
  regx_set_pages_free(set->cold_pages);
  regx_set_refund(set, set->charged);
  tlvpr_lock_destroy(&set->lock);
  tlvpr_free(set->buckets);
  tlvpr_free(set->nodes);
  tlvpr_free(set->maps);
  tlvpr_free(set->starts);
  tlvpr_free(set->restarts);
  tlvpr_free(set->reach[0]);
  tlvpr_free(set->reach[1]);
  tlvpr_free(set);
}
