// kelh_engine - header unfolding and rule evaluation (contract in kelh_engine.h)
//
// Per message the engine builds, in one block with the HeaderLine records, an
// index of the lines by the rule base's header names: each line's name hash
// is looked up once in the rule base's table of names, and the lines of each
// name are chained in block order, so a rule line with a header name visits
// only that name's lines and finds the first by its name's number. The first
// rule line always walks the whole list, since it reports every over-long
// line its scan reaches. The walk is one template over the
// matcher: the plain one passes every pair to a callback, the engine's own
// answers pairs from the sets' scans where the bound allows.
// Tests: tests/kelh_engine_test.cpp (against tests/support/unfold_reference.h),
// tests/kelh_engine_stress_test.cpp, fuzz/kelh_fuzz.cpp.
#include "kelh_engine.h"

#include <emmintrin.h>
#include <string.h>

#include <atomic>

#include "kelh_sets.h"
#include "regx.h"
#include "regx_set.h"
#include "tlvpr_mem.h"
#include "tlvpr_sync.h"
#include "tvr_log.h"
#include "tvr_status.h"

namespace {

// A header line that cannot be allocated is logged at level 2, a level without
// a name of its own (records label it "DEBUG").
constexpr int kLevelNoHeaderLine = 2;

// Source line reported by the trace of the final weight; log readers grep for it.
constexpr unsigned kWeightTraceLine = 822;

enum KelhByteClass : unsigned char { KELH_ORDINARY, KELH_SPACE, KELH_CONTROL };

// kelh_class_of - the byte classes of unfolding
constexpr KelhByteClass kelh_class_of(unsigned c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) {
    return KELH_SPACE;
  }
  if (c < 0x20 || c == 0x7F) {
    return KELH_CONTROL;
  }
  return KELH_ORDINARY;
}

struct KelhClassTable {
  KelhByteClass of[256];
};

// kelh_make_class_table - the class of every byte value, built at compile time
constexpr KelhClassTable kelh_make_class_table() {
  KelhClassTable table = {};
  for (unsigned c = 0; c < 256; ++c) {
    table.of[c] = kelh_class_of(c);
  }
  return table;
}

constexpr KelhClassTable kClasses = kelh_make_class_table();
static_assert(kClasses.of[0x00] == KELH_CONTROL && kClasses.of[0x08] == KELH_CONTROL);
static_assert(kClasses.of[0x09] == KELH_SPACE && kClasses.of[0x0D] == KELH_SPACE);
static_assert(kClasses.of[0x0E] == KELH_CONTROL && kClasses.of[0x1F] == KELH_CONTROL);
static_assert(kClasses.of[0x20] == KELH_SPACE && kClasses.of[0x21] == KELH_ORDINARY);
static_assert(kClasses.of[0x7E] == KELH_ORDINARY && kClasses.of[0x7F] == KELH_CONTROL);
static_assert(kClasses.of[0x80] == KELH_ORDINARY && kClasses.of[0xFF] == KELH_ORDINARY);

// A line whose header name no rule line has (in KelhIndex::name).
constexpr uint32_t kNoName = UINT32_MAX;

// A message's header lines by the rule base's header names (RuleBase names).
struct KelhIndex {
  uint32_t *next;   // per line: the next line of its name, 1-based; 0 = none
  uint32_t *name;   // per line: its name's number, kNoName when no rule line has it
  uint32_t *first;  // per name of the rule base: its first line, 1-based; 0 = none
};

// kelh_index_build - indexes count header lines by the rule base's names:
// one probe of its table per line, the chains built from the last line back
// so that each runs in block order
void kelh_index_build(const RuleBase &rule_base, const HeaderLine *lines, uint32_t count,
                      KelhIndex *index) {
  memset(index->first, 0, sizeof *index->first * rule_base.name_count);
  for (uint32_t number = count; number != 0; --number) {
    const uint32_t hash = lines[number - 1].name_hash;
    const RuleNameSlot &slot =
        rule_base.name_slots[kelh_probe(rule_base.name_slots, rule_base.name_mask, hash)];
    if (slot.number == 0) {
      index->name[number - 1] = kNoName;
      continue;
    }
    const uint32_t name = slot.number - 1;
    index->name[number - 1] = name;
    index->next[number - 1] = index->first[name];
    index->first[name] = number;
  }
}

// kelh_line_bound - at most this many lines: each one ends at a white-space
// run holding an LF. The LF bytes are counted sixteen at a time, in byte
// counters added up before any of them can wrap.
uint32_t kelh_line_bound(const char *buffer, uint32_t length) {
  const __m128i lf = _mm_set1_epi8('\n');
  uint64_t count = 0;
  uint32_t at = 0;
  while (length - at >= 16) {
    __m128i counters = _mm_setzero_si128();
    const uint32_t stop = length - at >= 255 * 16 ? at + 255 * 16 : at + (length - at) / 16 * 16;
    for (; at < stop; at += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buffer + at));
      counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(v, lf));
    }
    const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    count += static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
  for (; at < length; ++at) {
    count += buffer[at] == '\n' ? 1 : 0;
  }
  return static_cast<uint32_t>(count);
}

// KelhBlock - the classes of a block of 16 or 64 bytes, a bit per byte
struct KelhBlock {
  uint64_t ordinary;  // bytes kept as they are
  uint64_t lone;      // bytes between ordinary ones (before the first: see kelh_block)
  uint64_t stop;      // bytes the byte-by-byte rules must handle: white space
                      // and control bytes, but not a lone space (a run of one
                      // space stays a space) nor a lone LF (a line end)
  uint64_t ends;      // the lone LF bytes
};

// kelh_block - classifies the 16 * Vectors bytes at `at`; after says whether
// the byte after them is ordinary. The byte before them never belongs to a
// run of white space: kelh_unfold's byte-by-byte rules take each run whole.
template <int Vectors>
inline KelhBlock kelh_block(const unsigned char *at, bool after) {
  static_assert(Vectors == 1 || Vectors == 4, "16 or 64 bytes");
  uint64_t other = 0;
  uint64_t space = 0;
  uint64_t lf = 0;
  for (int c = 0; c < Vectors; ++c) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 16 * c));
    // Not ordinary: at most 0x20 (unsigned), or 0x7F.
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
    other |= static_cast<uint64_t>(static_cast<unsigned>(
                 _mm_movemask_epi8(_mm_or_si128(low, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F))))))
             << (16 * c);
    space |= static_cast<uint64_t>(
                 static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x20)))))
             << (16 * c);
    lf |= static_cast<uint64_t>(
              static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')))))
          << (16 * c);
  }
  constexpr uint64_t kAll = Vectors == 4 ? ~uint64_t{0} : (uint64_t{1} << (16 * Vectors)) - 1;
  constexpr uint64_t kLast = uint64_t{1} << (16 * Vectors - 1);
  KelhBlock k;
  k.ordinary = ~other & kAll;
  k.lone = (k.ordinary << 1 | 1u) & (k.ordinary >> 1 | (after ? kLast : 0u));
  k.ends = lf & k.lone;
  k.stop = other & ~((space | lf) & k.lone);
  return k;
}

// kelh_move_ends - moves n bytes down to `to` (to <= from, sizeof(Word) <= n
// <= 2 * sizeof(Word)) as two words that may overlap: both are read before
// either is written, and nothing at or past from + n is written
template <class Word>
inline void kelh_move_ends(unsigned char *to, const unsigned char *from, uint32_t n) {
  Word head;
  Word tail;
  memcpy(&head, from, sizeof head);
  memcpy(&tail, from + n - sizeof tail, sizeof tail);
  memcpy(to, &head, sizeof head);
  memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

// kelh_move_short - moves n < 16 bytes down to `to` (to <= from)
inline void kelh_move_short(unsigned char *to, const unsigned char *from, uint32_t n) {
  if (n >= 8) {
    kelh_move_ends<uint64_t>(to, from, n);
  } else if (n >= 4) {
    kelh_move_ends<uint32_t>(to, from, n);
  } else {
    for (uint32_t k = 0; k < n; ++k) {
      to[k] = from[k];
    }
  }
}

// kelh_hash_name - kelh_name_hash of the line at text; the bytes up to limit
// (at least the line's) may be read. The ':' is looked for sixteen bytes at
// a time, and the name hashed four bytes a step: h * 33^4 + the four bytes'
// share, all modulo 2^32 as the byte-by-byte sum.
inline uint32_t kelh_hash_name(const unsigned char *text, uint32_t length,
                               const unsigned char *limit) {
  uint32_t name = 0;  // bytes before the first ':', length when there is none
  while (name < length) {
    if (limit - (text + name) >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + name));
      const unsigned colon =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(':'))));
      if (colon != 0) {
        name += static_cast<uint32_t>(__builtin_ctz(colon));
        break;
      }
      name += 16;
    } else if (text[name] == ':') {
      break;
    } else {
      ++name;
    }
  }
  if (name > length) {
    name = length;  // the ':' found lies beyond the line
  }
  uint32_t hash = 0;
  uint32_t at = 0;
  for (; at + 4 <= name; at += 4) {
    hash = hash * (33u * 33 * 33 * 33) + text[at] * (33u * 33 * 33) + text[at + 1] * (33u * 33) +
           text[at + 2] * 33u + text[at + 3];
  }
  for (; at < name; ++at) {
    hash = hash * 33 + text[at];
  }
  return name == length ? hash * 33 + KELH_LINE_END : hash;
}

// kelh_add_line - records the line from start up to its line-end byte at end
inline void kelh_add_line(char *buffer, uint32_t length, HeaderLine *lines, uint32_t capacity,
                          uint32_t *made, uint32_t start, uint32_t end) {
  if (*made < capacity) {
    HeaderLine *line = &lines[*made];
    line->text = buffer + start;
    line->length = end - start;
    line->next = nullptr;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(buffer);
    line->name_hash = kelh_hash_name(bytes + start, end - start, bytes + length);
    if (*made > 0) {
      lines[*made - 1].next = line;
    }
    ++*made;
  }
}

// kelh_unfold_block - the block of 16 * Vectors bytes at in, up to its first
// stop byte: kept where they are or moved down to out, a lone LF turned into
// the line-end byte closing its line. Returns the bytes taken (all of them
// when the block holds no stop byte).
template <int Vectors>
inline uint32_t kelh_unfold_block(char *buffer, uint32_t length, HeaderLine *lines,
                                  uint32_t capacity, uint32_t *made, uint32_t in, uint32_t out,
                                  uint32_t *start) {
  constexpr uint32_t kWidth = 16 * Vectors;
  unsigned char *bytes = reinterpret_cast<unsigned char *>(buffer);
  const bool next = length - in > kWidth && kClasses.of[bytes[in + kWidth]] == KELH_ORDINARY;
  const KelhBlock k = kelh_block<Vectors>(bytes + in, next);
  const uint32_t run = k.stop == 0 ? kWidth : static_cast<uint32_t>(__builtin_ctzll(k.stop));
  if (out != in) {
    // Sixteen at a time, then the rest: each store lands below the bytes
    // still to be read (out < in).
    uint32_t moved = 0;
    for (; moved + 16 <= run; moved += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes + out + moved),
                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + in + moved)));
    }
    kelh_move_short(bytes + out + moved, bytes + in + moved, run - moved);
  }
  const uint64_t taken = run == 64 ? ~uint64_t{0} : (uint64_t{1} << run) - 1;
  for (uint64_t ends = k.ends & taken; ends != 0; ends &= ends - 1) {
    const uint32_t end = out + static_cast<uint32_t>(__builtin_ctzll(ends));
    bytes[end] = static_cast<unsigned char>(KELH_LINE_END);
    kelh_add_line(buffer, length, lines, capacity, made, *start, end);
    *start = end + 1;
  }
  return run;
}

// kelh_unfold - rewrites the block in place into header lines, filling the
// records lines[0..capacity) in block order and linking them; *count gets
// their number. 10013 when there is none (text after the last line end is
// logged level 1, 10047). capacity must be kelh_line_bound of the block.
//
// Sixty-four bytes at a time (sixteen near the end) up to the first byte that
// needs the byte-by-byte rules: ordinary bytes and lone spaces stay as they are, a lone LF becomes
// the line-end byte and closes its line. Nothing is moved until the first
// deleted byte (most blocks only turn LF into the line-end byte); from then
// on each sixteen are stored at the write index.
uint32_t kelh_unfold(char *buffer, uint32_t length, HeaderLine *lines, uint32_t capacity,
                     uint32_t *count) {
  unsigned char *bytes = reinterpret_cast<unsigned char *>(buffer);
  uint32_t made = 0;
  uint32_t in = 0;     // read index
  uint32_t out = 0;    // write index, never beyond in
  uint32_t start = 0;  // start of the current line in the rewritten buffer
  while (in < length) {
    if (length - in >= 16) {
      const uint32_t width = length - in >= 64 ? 64 : 16;
      const uint32_t run =
          width == 64
              ? kelh_unfold_block<4>(buffer, length, lines, capacity, &made, in, out, &start)
              : kelh_unfold_block<1>(buffer, length, lines, capacity, &made, in, out, &start);
      in += run;
      out += run;
      if (run == width) {
        continue;
      }
    }
    const KelhByteClass cls = kClasses.of[bytes[in]];
    if (cls == KELH_ORDINARY) {
      bytes[out++] = bytes[in++];
      continue;
    }
    if (cls == KELH_CONTROL) {
      ++in;
      continue;
    }
    // A run of white space (control bytes inside it belong to it) ends the line
    // when it holds an LF that is not the fold of a continued line.
    bool line_end = false;
    do {
      if (bytes[in] == '\n' &&
          (in + 1 == length || (bytes[in + 1] != ' ' && bytes[in + 1] != '\t'))) {
        line_end = true;
      }
      ++in;
    } while (in < length && kClasses.of[bytes[in]] != KELH_ORDINARY);
    bytes[out++] = line_end ? static_cast<unsigned char>(KELH_LINE_END) : ' ';
    if (line_end) {
      kelh_add_line(buffer, length, lines, capacity, &made, start, out - 1);
      start = out;
    }
  }
  if (out != start) {
    tvr_log(TVR_LOG_ALERT, TVR_ILLEGAL_DATA);
    return TVR_NO_MEMORY;
  }
  if (made == 0) {
    return TVR_NO_MEMORY;
  }
  *count = made;
  return 0;
}

// KelhSharedGuard - takes a rule line's lock for a pattern whose matches must
// not overlap (regx_exec_shared); every other pattern is only read
struct KelhSharedGuard {
  TlvprLock *lock;
  explicit KelhSharedGuard(RuleLine *rule)
      : lock(regx_exec_shared(&rule->pattern) ? &rule->lock : nullptr) {
    if (lock != nullptr) {
      tlvpr_lock(lock);
    }
  }
  ~KelhSharedGuard() {
    if (lock != nullptr) {
      tlvpr_unlock(lock);
    }
  }
  KelhSharedGuard(const KelhSharedGuard &) = delete;
  KelhSharedGuard &operator=(const KelhSharedGuard &) = delete;
};

// A caller's matcher behind the plain walk: every eligible pair goes to it.
struct KelhCallbackMatch {
  KelhMatchFn match;
  void *context;
  static constexpr size_t kPerLine = 0;  // bytes of per-line tables it needs
  void begin(HeaderLine *, uint32_t, const RuleBase *, const KelhIndex *, void *, uint32_t) {}
  void rule(const RuleEntry &) {}
  int pair(RuleLine *rule, uint32_t number, HeaderLine *header, uint32_t max_backtracks) {
    KelhSharedGuard guard(rule);
    return match(context, rule, number, header->text, header->length, max_backtracks);
  }
  void end() {}
};

// Memo slots kept on the call stack; a message that needs more allocates them.
constexpr uint32_t kStackMemo = 256;

// Lines whose measures (RegxSubject, about 1.2 KB each) a message keeps: the
// first kStackMeasured lines to need one keep theirs on the call's stack, the
// next ones in one allocation, up to kMeasuredLines in all; beyond that (or
// without memory for the allocation) the other lines share the last slot (a
// line is measured again whenever another used it in between). Keeps the
// memory per message bounded whatever its line count.
constexpr uint32_t kStackMeasured = 16;
constexpr uint32_t kMeasuredLines = 256;

// kelh_entry_longest - a rule line's push bound by length for limit
// (regx_set_longest), kept in its entry for the last limit asked
//
// The word holds the limit and the answer plus 1 (0 until asked), so one
// relaxed load and store keep them together; threads that race both store
// the same answer.
int64_t kelh_entry_longest(const RuleEntry &entry, uint32_t limit) {
  std::atomic_ref<uint64_t> kept(const_cast<RuleEntry &>(entry).longest);
  uint64_t word = kept.load(std::memory_order_relaxed);
  if (word == 0 || static_cast<uint32_t>(word >> 32) != limit) {
    const int64_t longest = regx_set_longest(&entry.line->pattern, limit);
    // Lengths are 32-bit: a longer bound says the same as UINT32_MAX - 1.
    const uint64_t stored = longest < 0                 ? 0
                            : longest >= UINT32_MAX - 1 ? UINT32_MAX
                                                        : static_cast<uint64_t>(longest) + 1;
    word = static_cast<uint64_t>(limit) << 32 | stored;
    kept.store(word, std::memory_order_relaxed);
  }
  return static_cast<int64_t>(word & UINT32_MAX) - 1;
}

// The engine's own matcher: a pair whose rule line's pattern sits in a set
// takes its answer from one scan of that set over the line, kept for the
// message (memo slots per line: the sets of its name, then those of the
// rules without one), when the push bound proves the matcher's run on that
// line clear of results 18 and 20: by the line's length (regx_set_longest),
// else by its byte counts and runs (regx_set_fits; a line is measured when
// first needed and kept in one of up to kMeasuredLines slots). Every other pair runs
// match_header_line. Without memory for the memo, or without the rule base's
// entries, every pair runs the matcher. The first scan a group of sets needs
// on a line (the sets of its name, or those of the rules without one) scans
// them on all the lines of that group at once, two side by side (scan_group).
struct KelhSetMatch {
  bool use_sets = false;
  HeaderLine *lines = nullptr;
  uint32_t line_count = 0;
  uint32_t *first = nullptr;                   // per line: its first memo slot
  uint32_t *every = nullptr;                   // per line: the memo slot of the first set
                                               // of the rules without a name
  uint64_t *matched = nullptr;                 // per slot: the set's answer
  uint8_t *state = nullptr;                    // per slot: 0 not scanned, 1 answered, 2 unknown
  uint16_t *measured_slot = nullptr;           // per line: its own slot + 1, 0 none
  RegxSubject stack_measured[kStackMeasured];  // the first lines measured
  RegxSubject *heap_measured = nullptr;        // the next ones (slots from kStackMeasured on)
  uint32_t measured_count = 0;                 // slots that lines keep
  uint32_t measured_capacity = 0;              // slots there are
  bool heap_tried = false;
  uint32_t shared_line = 0;  // the line the shared last slot holds (line_count: none)
  void *memo = nullptr;      // the memo, when the stack's is too small
  uint64_t stack_matched[kStackMemo];
  uint8_t stack_state[kStackMemo];
  // The rule line in hand; its push bound is looked up at its first pair
  // (a rule whose header name the message lacks never reads its plan)
  const RuleEntry *entry = nullptr;
  RegxSet *set = nullptr;           // its set; null: the matcher answers
  const uint32_t *slots = nullptr;  // per line: the first memo slot of its set's group
  uint32_t local = 0;               // its set's number in the group
  uint32_t bit = 0;                 // its pattern's bit in the set
  int64_t longest = -1;
  bool longest_known = false;
  const RuleBase *base = nullptr;
  const KelhIndex *index = nullptr;
  uint32_t max_length = 0;  // the longest line a pair takes; 0 any
  bool queued = false;      // a scan waits in queued_*
  RegxSet *queued_set = nullptr;
  uint32_t queued_slot = 0;
  uint32_t queued_line = 0;

  // Per line, in the walk's block: its first slot, its first slot of the
  // rules without a name and its measures' slot.
  static constexpr size_t kPerLine = sizeof(*first) + sizeof(*every) + sizeof(*measured_slot);
  static_assert(kMeasuredLines < 65535, "a line's measures slot, plus 1, fits 16 bits");

  // begin - lays out the memo: each line's slots follow those of the lines
  // before it, as many as its name needs (the rule base's figures per name)
  void begin(HeaderLine *header_lines, uint32_t count, const RuleBase *rule_base,
             const KelhIndex *line_index, void *tables, uint32_t max_header_length) {
    lines = header_lines;
    base = rule_base;
    index = line_index;
    max_length = max_header_length;
    if (rule_base->sets == nullptr || index == nullptr) {
      return;
    }
    line_count = count;
    first = static_cast<uint32_t *>(tables);
    every = first + count;
    measured_slot = reinterpret_cast<uint16_t *>(every + count);
    memset(measured_slot, 0, sizeof *measured_slot * count);
    measured_capacity = count < kStackMeasured ? count : kStackMeasured;
    shared_line = count;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
      first[i] = static_cast<uint32_t>(total);
      const uint32_t name = index->name[i];
      if (name == kNoName) {
        every[i] = static_cast<uint32_t>(total);
        total += rule_base->unnamed_need;
      } else {
        total += rule_base->names[name].named;
        every[i] = static_cast<uint32_t>(total);
        total += rule_base->unnamed_need;
      }
    }
    matched = stack_matched;
    state = stack_state;
    if (total > kStackMemo) {
      // The answers first: they need the block's alignment. Slot numbers are
      // 32-bit: more slots than that are treated as no memory.
      memo =
          total <= UINT32_MAX ? tlvpr_malloc(total * (sizeof *matched + sizeof *state)) : nullptr;
      if (memo == nullptr) {
        return;
      }
      matched = static_cast<uint64_t *>(memo);
      state = reinterpret_cast<uint8_t *>(matched + total);
    }
    memset(state, 0, total);
    use_sets = true;
  }

  void rule(const RuleEntry &rule_entry) {
    entry = &rule_entry;
    set = use_sets ? rule_entry.set : nullptr;
    slots = rule_entry.name_hash == 0 ? every : first;
    local = rule_entry.local;
    bit = rule_entry.bit;
    longest_known = false;
  }

  // measured_at - the measures in a slot
  RegxSubject *measured_at(uint32_t slot) {
    return slot < kStackMeasured ? &stack_measured[slot] : &heap_measured[slot - kStackMeasured];
  }

  // line_subject - a line's measures for the bound, taken the first time (for
  // the lines that share the last slot, again after another used it)
  RegxSubject *line_subject(uint32_t line) {
    if (measured_slot[line] != 0) {
      return measured_at(measured_slot[line] - 1u);
    }
    // A line keeps a slot while one is left (the last one only when every
    // line has one); the stack's slots first, then more in one allocation.
    const uint32_t most = line_count < kMeasuredLines ? line_count : kMeasuredLines;
    if (measured_count + 1 >= measured_capacity && measured_capacity < most && !heap_tried) {
      heap_tried = true;
      heap_measured =
          static_cast<RegxSubject *>(tlvpr_malloc(sizeof(RegxSubject) * (most - kStackMeasured)));
      measured_capacity = heap_measured != nullptr ? most : measured_capacity;
    }
    uint32_t slot;
    if (measured_count + 1 < measured_capacity ||
        (measured_count < measured_capacity && measured_capacity == line_count)) {
      slot = measured_count++;
      measured_slot[line] = static_cast<uint16_t>(slot + 1);
    } else {
      slot = measured_capacity - 1;
      if (shared_line == line) {
        return measured_at(slot);
      }
      shared_line = line;
    }
    regx_subject_init(measured_at(slot), lines[line].text, lines[line].length);
    return measured_at(slot);
  }

  int pair(RuleLine *rule, uint32_t, HeaderLine *header, uint32_t max_backtracks) {
    const uint32_t line = static_cast<uint32_t>(header - lines);
    if (set != nullptr && !longest_known) {
      longest = kelh_entry_longest(*entry, max_backtracks);
      longest_known = true;
    }
    if (set != nullptr && header->length > 0 &&
        (header->length <= longest ||
         (regx_set_bound_pays(&rule->pattern) != 0 &&
          regx_set_fits(&rule->pattern, max_backtracks, line_subject(line))))) {
      const uint32_t slot = slots[line] + local;
      if (state[slot] == 0) {
        scan_group(line);
      }
      if (state[slot] == 1) {
        return (matched[slot] >> bit & 1) != 0 ? REGX_OK : REGX_NOMATCH;
      }
    }
    KelhSharedGuard guard(rule);
    return match_header_line(&rule->pattern, header->text, header->length, max_backtracks);
  }

  // scan - queues the scan of a set over a line for a memo slot; two queued
  // scans run side by side (regx_set_scan_two), a last one alone (flush)
  void scan(RegxSet *scanned, uint32_t slot, uint32_t line) {
    if (!queued) {
      queued = true;
      queued_set = scanned;
      queued_slot = slot;
      queued_line = line;
      return;
    }
    queued = false;
    RegxSet *const two[2] = {queued_set, scanned};
    const char *const texts[2] = {lines[queued_line].text, lines[line].text};
    const size_t lengths[2] = {lines[queued_line].length, lines[line].length};
    uint64_t answers[2];
    int results[2];
    regx_set_scan_two(two, texts, lengths, answers, results);
    const uint32_t filled[2] = {queued_slot, slot};
    for (int k = 0; k < 2; ++k) {
      matched[filled[k]] = answers[k];
      state[filled[k]] = results[k] == 0 ? 1 : 2;
    }
  }

  void flush() {
    if (queued) {
      queued = false;
      const HeaderLine &l = lines[queued_line];
      state[queued_slot] =
          regx_set_scan(queued_set, l.text, l.length, &matched[queued_slot]) == 0 ? 1 : 2;
    }
  }

  // scan_group - fills the memo slot of the pair in hand on line, and with
  // it every slot not yet scanned of the same group (the sets of the rule's
  // header name, or those of the rules without one) on every line of that
  // group a pair can take: the walk asks for most of them, and two scans side
  // by side take less time than one after the other. An answer is still read
  // only where its pair's bound passes. Out of line: it runs once per group
  // and message, and pair() stays small enough to inline into the walk.
  __attribute__((noinline)) void scan_group(uint32_t line) {
    const auto takes = [this](uint32_t l) {
      return lines[l].length > 0 && (max_length == 0 || lines[l].length <= max_length);
    };
    if (entry->name_hash == 0) {
      const uint32_t first_set = base->unnamed_first;
      for (uint32_t l = 0; l < line_count; ++l) {
        for (uint32_t k = 0; k < base->unnamed_need && takes(l); ++k) {
          if (state[every[l] + k] == 0) {
            scan(kelh_sets_get(base->sets, first_set + k), every[l] + k, l);
          }
        }
      }
    } else {
      const uint32_t name = index->name[line];
      const uint32_t first_set = base->names[name].first;
      for (uint32_t n = index->first[name]; n != 0; n = index->next[n - 1]) {
        for (uint32_t k = 0; k < base->names[name].named && takes(n - 1); ++k) {
          if (state[first[n - 1] + k] == 0) {
            scan(kelh_sets_get(base->sets, first_set + k), first[n - 1] + k, n - 1);
          }
        }
      }
    }
    flush();
  }

  void end() {
    tlvpr_free(memo);
    tlvpr_free(heap_measured);
  }
};

// kelh_append_hit - appends a hit record at the tail of the caller's list
void kelh_append_hit(RuleHit **hits, RuleHit **tail, const RuleLine *rule) {
  RuleHit *hit = static_cast<RuleHit *>(tlvpr_malloc(sizeof(RuleHit)));
  if (hit == nullptr) {
    tvr_log(TVR_LOG_ALERT, TVR_NO_MEMORY);
    return;
  }
  hit->next = nullptr;
  hit->previous = *tail;
  hit->rule_id = rule->rule_id;
  hit->weight = rule->weight;
  if (*tail != nullptr) {
    (*tail)->next = hit;
  } else {
    *hits = hit;
  }
  *tail = hit;
}

// kelh_block_bytes - the walk's storage for a header block of bound LF
// bytes and a rule base of names header names: the header lines, the name
// index (when indexed: per line its next line and its name, per name its
// first line) and the matcher's per-line tables, in that order (each part
// keeps the alignment of the next)
constexpr size_t kelh_block_bytes(uint32_t bound, uint32_t names, bool indexed, size_t per_line) {
  return (sizeof(HeaderLine) + per_line + (indexed ? 2 * sizeof(uint32_t) : 0)) *
             static_cast<size_t>(bound) +
         (indexed ? sizeof(uint32_t) * static_cast<size_t>(names) : 0);
}
static_assert(sizeof(HeaderLine) % alignof(uint32_t) == 0,
              "the parts of the walk's block follow one another aligned");

// Blocks of up to this many LF bytes (nearly every real message), with a
// rule base of up to kStackNames header names, keep the walk's block on the
// call's stack.
constexpr uint32_t kStackLines = 128;
constexpr uint32_t kStackNames = 256;

// kelh_evaluate - the rule walk over one message, with any matcher
//
// One block holds the header lines, their name index and the matcher's
// per-line tables: on the call's stack for a block of up to kStackLines LF
// bytes, else allocated; a failed allocation of it is the header lines'
// failure (10013, logged level 2).
template <class Matcher>
uint32_t kelh_evaluate(char *buffer, uint32_t length, RuleHit **hits, const RuleBase *rule_base,
                       int32_t threshold, uint32_t max_header_length, uint32_t max_backtracks,
                       int *verdict, Matcher &matcher) {
  if ((buffer == nullptr && length != 0) || hits == nullptr || rule_base == nullptr ||
      verdict == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  *verdict = 0;
  const uint32_t bound = length == 0 ? 0 : kelh_line_bound(buffer, length);
  // Without entries the rule base has no names: the walk follows the list.
  const bool indexed = rule_base->entries != nullptr;
  const uint32_t names = indexed ? rule_base->name_count : 0;
  alignas(HeaderLine) unsigned char
      stack_block[kelh_block_bytes(kStackLines, kStackNames, true, Matcher::kPerLine)];
  void *block = nullptr;  // the allocated block, when the stack's is too small
  unsigned char *base = stack_block;
  const size_t block_bytes = kelh_block_bytes(bound, names, indexed, Matcher::kPerLine);
  if (block_bytes > sizeof stack_block) {
    block = tlvpr_malloc(block_bytes);
    if (block == nullptr) {
      tvr_log(kLevelNoHeaderLine, TVR_NO_MEMORY);
      return TVR_NO_MEMORY;
    }
    base = static_cast<unsigned char *>(block);
  }
  HeaderLine *lines = reinterpret_cast<HeaderLine *>(base);
  uint32_t count = 0;
  if (kelh_unfold(buffer, length, lines, bound, &count) != 0) {
    tlvpr_free(block);
    return TVR_NO_MEMORY;
  }
  KelhIndex index = {};
  void *tables = lines + bound;
  if (indexed) {
    index.next = reinterpret_cast<uint32_t *>(lines + bound);
    index.name = index.next + bound;
    index.first = index.name + bound;
    kelh_index_build(*rule_base, lines, count, &index);
    tables = index.first + names;
  }
  matcher.begin(lines, count, rule_base, indexed ? &index : nullptr, tables, max_header_length);

  int32_t total = 0;
  bool group_failed = false;
  RuleHit *tail = *hits;
  while (tail != nullptr && tail->next != nullptr) {
    tail = tail->next;
  }
  // The lines from the rule base's entries when it has them, else along the list.
  const RuleEntry *const entries = rule_base->entries;
  RuleLine *listed = rule_base->first;
  RuleEntry from_list = {};
  for (uint32_t number = 0;; ++number) {
    const RuleEntry *entry;
    if (entries != nullptr) {
      if (number == rule_base->entry_count) {
        break;
      }
      entry = &entries[number];
    } else {
      if (listed == nullptr) {
        break;
      }
      from_list.line = listed;
      from_list.name_hash = listed->name_hash;
      from_list.rule_type = static_cast<uint16_t>(listed->rule_type);
      from_list.conjunction = static_cast<uint16_t>(listed->conjunction);
      entry = &from_list;
      listed = listed->next;
    }
    RuleLine *const rule = entry->line;
    if (threshold != 0 && !(total < threshold)) {
      break;
    }
    if (!(entry->rule_type == RULE_TYPE_MULTI && group_failed)) {
      int result = REGX_NOMATCH;
      HeaderLine *at = nullptr;
      const bool first_rule = number == 0;
      if (first_rule || !indexed || entry->name_hash == 0) {
        matcher.rule(*entry);
        for (HeaderLine *header = lines; header != lines + count; ++header) {
          const bool fits = max_header_length == 0 || header->length <= max_header_length;
          if ((entry->name_hash == 0 || entry->name_hash == header->name_hash) && fits) {
            result = matcher.pair(rule, number, header, max_backtracks);
            if (result != REGX_NOMATCH) {
              at = header;
              break;
            }
          } else {
            if (first_rule && !fits) {
              tvr_log(TVR_LOG_NOTICE, TVR_RULE_HEADER_TOO_LONG, max_header_length,
                      static_cast<int>(header->length), header->text);
            }
            result = REGX_NOMATCH;
          }
        }
      } else {
        // A rule line whose header name the message lacks costs one read.
        uint32_t named = index.first[entry->name];
        if (named != 0) {
          matcher.rule(*entry);
        }
        for (; named != 0; named = index.next[named - 1]) {
          HeaderLine *header = &lines[named - 1];
          if (max_header_length != 0 && header->length > max_header_length) {
            continue;
          }
          result = matcher.pair(rule, number, header, max_backtracks);
          if (result != REGX_NOMATCH) {
            at = header;
            break;
          }
        }
      }
      if (result != REGX_OK) {
        if (entry->rule_type == RULE_TYPE_MULTI) {
          group_failed = true;
        }
        if (result != REGX_NOMATCH) {
          char message[512];
          regx_error(result, nullptr, message, sizeof message);
          tvr_log(result == REGX_ETOOMANY ? TVR_LOG_WARNING : TVR_LOG_NOTICE, TVR_RULE_REGEX_ERROR,
                  static_cast<unsigned>(rule->rule_id), message, result,
                  static_cast<int>(at->length), at->text);
        }
      } else if (entry->rule_type == RULE_TYPE_SINGLE || entry->conjunction == RULE_CONJ_LAST) {
        kelh_append_hit(hits, &tail, rule);
        // Wrapping addition: a huge rule base must not make the sum undefined.
        total = static_cast<int32_t>(static_cast<uint32_t>(total) +
                                     static_cast<uint32_t>(rule->weight));
      }
    }
    if (entry->conjunction == RULE_CONJ_LAST) {
      group_failed = false;
    }
  }

  if ((threshold > 0 && total >= threshold) || (threshold <= 0 && total > threshold)) {
    *verdict = 1;
    tvr_log_trace(__FILE__, kWeightTraceLine, nullptr, "Current weight = %d", total);
  }
  matcher.end();
  tlvpr_free(block);
  return 0;
}

}  // namespace

// kelh_name_hash - the name hash of one unfolded header line
uint32_t kelh_name_hash(const char *text, uint32_t length) {
  return kelh_hash_name(reinterpret_cast<const unsigned char *>(text), length,
                        reinterpret_cast<const unsigned char *>(text) + length);
}

// kelh_free_header_lines - frees a list of header lines (not the buffer)
void kelh_free_header_lines(HeaderLine *lines) { tlvpr_free(lines); }

// kelh_free_hits - frees a hit list record by record
void kelh_free_hits(RuleHit *hits) {
  while (hits != nullptr) {
    RuleHit *next = hits->next;
    tlvpr_free(hits);
    hits = next;
  }
}

// split_header_lines - unfolds a header block in place into header lines
//
// The records live in one block, sized by the LF bytes of the block (no line
// ends without one); the list's head is that block.
uint32_t split_header_lines(char *buffer, uint32_t length, HeaderLine **lines) {
  if ((buffer == nullptr && length != 0) || lines == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  const uint32_t bound = length == 0 ? 0 : kelh_line_bound(buffer, length);
  HeaderLine *block = nullptr;
  if (bound > 0) {
    block = static_cast<HeaderLine *>(tlvpr_malloc(sizeof(HeaderLine) * bound));
    if (block == nullptr) {
      tvr_log(kLevelNoHeaderLine, TVR_NO_MEMORY);
      return TVR_NO_MEMORY;
    }
  }
  uint32_t count = 0;
  if (kelh_unfold(buffer, length, block, bound, &count) != 0) {
    tlvpr_free(block);
    return TVR_NO_MEMORY;
  }
  *lines = block;
  return 0;
}

// match_header_line - runs a compiled pattern on one line of the header buffer
//
// The byte after the line is its line-end byte, inside the buffer: it becomes
// the NUL the matcher needs for the duration of the call, so no copy is made.
int match_header_line(const RegxPattern *pattern, char *text, uint32_t length,
                      uint32_t max_backtracks) {
  if (pattern == nullptr || text == nullptr) {
    return REGX_EFATAL;
  }
  const char saved = text[length];
  text[length] = '\0';
  const int result = regx_exec(pattern, text, max_backtracks, nullptr, 0);
  text[length] = saved;
  return result;
}

// rulebase_evaluate - the verdict of one header block against the rule base
uint32_t rulebase_evaluate(char *buffer, uint32_t length, RuleHit **hits, const RuleBase *rule_base,
                           int32_t threshold, uint32_t max_header_length, uint32_t max_backtracks,
                           int *verdict) {
  KelhSetMatch matcher;
  return kelh_evaluate(buffer, length, hits, rule_base, threshold, max_header_length,
                       max_backtracks, verdict, matcher);
}

// kelh_evaluate_with - rulebase_evaluate with a caller's matcher
uint32_t kelh_evaluate_with(char *buffer, uint32_t length, RuleHit **hits,
                            const RuleBase *rule_base, int32_t threshold,
                            uint32_t max_header_length, uint32_t max_backtracks, int *verdict,
                            KelhMatchFn match, void *context) {
  if (match == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  KelhCallbackMatch matcher = {match, context};
  return kelh_evaluate(buffer, length, hits, rule_base, threshold, max_header_length,
                       max_backtracks, verdict, matcher);
}
