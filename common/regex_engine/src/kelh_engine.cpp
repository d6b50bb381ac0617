// kelh_engine - header unfolding and rule evaluation (contract in kelh_engine.h)
//
// Per message the engine builds, besides the HeaderLine list, an index of the
// lines by name hash (open addressing, each name's lines chained in block
// order), so a rule line with a header name visits only that name's lines. The
// first rule line always walks the whole list, since it reports every over-long
// line its scan reaches. Without memory for the index every rule line walks the
// whole list and tests each line's hash: the results are the same either way.
// Tests: tests/kelh_engine_test.cpp, tests/kelh_engine_stress_test.cpp.
#include "kelh_engine.h"

#include "regx.h"
#include "tlvpr_mem.h"
#include "tlvpr_sync.h"
#include "tvr_log.h"

namespace {

constexpr uint32_t kOk = 0;
constexpr uint32_t kNoMemory = 10013;
constexpr uint32_t kBadArgument = 10040;
constexpr uint32_t kIllegalData = 10047;
constexpr uint32_t kRegexError = 29001;
constexpr uint32_t kHeaderTooLong = 29030;

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

// Blocks with more lines than this are walked without an index (keeps the slot
// count within 32 bits; no real header block comes near it).
constexpr uint32_t kIndexMaxLines = 1u << 24;

// One header line in the name index: the line and the next line of its name.
struct KelhIndexEntry {
  HeaderLine *line;
  uint32_t next;  // 1-based entry of the next line with this name; 0 = none
};

// One name in the index: its hash and its first and last lines.
struct KelhIndexSlot {
  uint32_t hash;
  uint32_t first;  // 1-based entry; 0 = empty slot
  uint32_t last;
};

struct KelhIndex {
  KelhIndexEntry *entries;  // one per header line, in block order
  KelhIndexSlot *slots;     // open addressing, mask + 1 slots
  uint32_t mask;
};

// kelh_slot_start - where the probe for a name hash begins
inline uint32_t kelh_slot_start(uint32_t hash, uint32_t mask) {
  return (hash * 0x9E3779B1u) >> 7 & mask;
}

// kelh_index_build - indexes the header lines by name hash
//
// One allocation holds entries and slots; at least twice as many slots as lines
// keep the probes short. Returns false (index unusable) when memory runs out.
bool kelh_index_build(HeaderLine *lines, KelhIndex *index, void **block) {
  uint32_t count = 0;
  for (const HeaderLine *line = lines; line != nullptr; line = line->next) {
    ++count;
  }
  if (count > kIndexMaxLines) {
    return false;
  }
  uint32_t slots = 8;
  while (slots < 2 * count) {
    slots *= 2;
  }
  const size_t size = sizeof(KelhIndexEntry) * count + sizeof(KelhIndexSlot) * slots;
  char *memory = static_cast<char *>(tlvpr_calloc(1, size));
  if (memory == nullptr) {
    return false;
  }
  index->entries = reinterpret_cast<KelhIndexEntry *>(memory);
  index->slots = reinterpret_cast<KelhIndexSlot *>(memory + sizeof(KelhIndexEntry) * count);
  index->mask = slots - 1;
  uint32_t number = 0;
  for (HeaderLine *line = lines; line != nullptr; line = line->next) {
    ++number;
    index->entries[number - 1].line = line;
    uint32_t at = kelh_slot_start(line->name_hash, index->mask);
    while (index->slots[at].first != 0 && index->slots[at].hash != line->name_hash) {
      at = (at + 1) & index->mask;
    }
    KelhIndexSlot &slot = index->slots[at];
    if (slot.first == 0) {
      slot.hash = line->name_hash;
      slot.first = number;
    } else {
      index->entries[slot.last - 1].next = number;
    }
    slot.last = number;
  }
  *block = memory;
  return true;
}

// kelh_index_first - the first entry of a name's lines, 0 when none has it
inline uint32_t kelh_index_first(const KelhIndex &index, uint32_t hash) {
  uint32_t at = kelh_slot_start(hash, index.mask);
  while (index.slots[at].first != 0) {
    if (index.slots[at].hash == hash) {
      return index.slots[at].first;
    }
    at = (at + 1) & index.mask;
  }
  return 0;
}

// kelh_regx_match - the engine's own matcher behind the walk
struct KelhRegxMatch {
  int operator()(RuleLine *line, uint32_t, char *text, uint32_t length,
                 uint32_t max_backtracks) const {
    return match_header_line(&line->pattern, text, length, max_backtracks);
  }
};

// kelh_callback_match - a caller's matcher behind the walk
struct KelhCallbackMatch {
  KelhMatchFn match;
  void *context;
  int operator()(RuleLine *line, uint32_t index, char *text, uint32_t length,
                 uint32_t max_backtracks) const {
    return match(context, line, index, text, length, max_backtracks);
  }
};

// kelh_try - one match of one rule line on one header line, under the line's lock
template <class Matcher>
inline int kelh_try(const Matcher &matcher, RuleLine *rule, uint32_t number,
                    HeaderLine *header, uint32_t max_backtracks) {
  tlvpr_lock(&rule->lock);
  const int result = matcher(rule, number, header->text, header->length, max_backtracks);
  tlvpr_unlock(&rule->lock);
  return result;
}

// kelh_append_hit - appends a hit record at the tail of the caller's list
void kelh_append_hit(RuleHit **hits, RuleHit **tail, const RuleLine *rule) {
  RuleHit *hit = static_cast<RuleHit *>(tlvpr_malloc(sizeof(RuleHit)));
  if (hit == nullptr) {
    tvr_log(TVR_LOG_ALERT, kNoMemory);
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

// kelh_evaluate - the rule walk over one message, with any matcher
template <class Matcher>
uint32_t kelh_evaluate(char *buffer, uint32_t length, RuleHit **hits, const RuleBase *rule_base,
                       int32_t threshold, uint32_t max_header_length, uint32_t max_backtracks,
                       int *verdict, const Matcher &matcher) {
  if ((buffer == nullptr && length != 0) || hits == nullptr || rule_base == nullptr ||
      verdict == nullptr) {
    return kBadArgument;
  }
  *verdict = 0;
  HeaderLine *lines = nullptr;
  if (split_header_lines(buffer, length, &lines) != kOk) {
    return kNoMemory;
  }
  KelhIndex index = {};
  void *index_block = nullptr;
  const bool indexed = kelh_index_build(lines, &index, &index_block);

  int32_t total = 0;
  bool group_failed = false;
  RuleHit *tail = *hits;
  while (tail != nullptr && tail->next != nullptr) {
    tail = tail->next;
  }
  uint32_t number = 0;
  for (RuleLine *rule = rule_base->first; rule != nullptr; rule = rule->next, ++number) {
    if (threshold != 0 && !(total < threshold)) {
      break;
    }
    if (!(rule->rule_type == RULE_TYPE_MULTI && group_failed)) {
      int result = REGX_NOMATCH;
      HeaderLine *at = nullptr;
      const bool first_rule = rule == rule_base->first;
      if (first_rule || !indexed || rule->name_hash == 0) {
        for (HeaderLine *header = lines; header != nullptr; header = header->next) {
          const bool fits = max_header_length == 0 || header->length <= max_header_length;
          if ((rule->name_hash == 0 || rule->name_hash == header->name_hash) && fits) {
            result = kelh_try(matcher, rule, number, header, max_backtracks);
            if (result != REGX_NOMATCH) {
              at = header;
              break;
            }
          } else {
            if (first_rule && !fits) {
              tvr_log(TVR_LOG_NOTICE, kHeaderTooLong, max_header_length,
                      static_cast<int>(header->length), header->text);
            }
            result = REGX_NOMATCH;
          }
        }
      } else {
        for (uint32_t entry = kelh_index_first(index, rule->name_hash); entry != 0;
             entry = index.entries[entry - 1].next) {
          HeaderLine *header = index.entries[entry - 1].line;
          if (max_header_length != 0 && header->length > max_header_length) {
            continue;
          }
          result = kelh_try(matcher, rule, number, header, max_backtracks);
          if (result != REGX_NOMATCH) {
            at = header;
            break;
          }
        }
      }
      if (result != REGX_OK) {
        if (rule->rule_type == RULE_TYPE_MULTI) {
          group_failed = true;
        }
        if (result != REGX_NOMATCH) {
          char message[512];
          regx_error(result, nullptr, message, sizeof message);
          tvr_log(result == REGX_ETOOMANY ? TVR_LOG_WARNING : TVR_LOG_NOTICE, kRegexError,
                  static_cast<unsigned>(rule->rule_id), message, result,
                  static_cast<int>(at->length), at->text);
        }
      } else if (rule->rule_type == RULE_TYPE_SINGLE || rule->conjunction == RULE_CONJ_LAST) {
        kelh_append_hit(hits, &tail, rule);
        // Wrapping addition: a huge rule base must not make the sum undefined.
        total = static_cast<int32_t>(static_cast<uint32_t>(total) +
                                     static_cast<uint32_t>(rule->weight));
      }
    }
    if (rule->conjunction == RULE_CONJ_LAST) {
      group_failed = false;
    }
  }

  if ((threshold > 0 && total >= threshold) || (threshold <= 0 && total > threshold)) {
    *verdict = 1;
    tvr_log_trace(__FILE__, kWeightTraceLine, nullptr, "Current weight = %d", total);
  }
  tlvpr_free(index_block);
  kelh_free_header_lines(lines);
  return kOk;
}

}  // namespace

// kelh_name_hash - the name hash of one unfolded header line
uint32_t kelh_name_hash(const char *text, uint32_t length) {
  uint32_t hash = 0;
  for (uint32_t pos = 0; pos < length; ++pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    if (c == ':') {
      return hash;
    }
    hash = hash * 33 + c;
  }
  return hash * 33 + KELH_LINE_END;
}

// kelh_free_header_lines - frees a list of header lines (not the buffer)
void kelh_free_header_lines(HeaderLine *lines) {
  while (lines != nullptr) {
    HeaderLine *next = lines->next;
    tlvpr_free(lines);
    lines = next;
  }
}

// split_header_lines - unfolds a header block in place into header lines
uint32_t split_header_lines(char *buffer, uint32_t length, HeaderLine **lines) {
  if ((buffer == nullptr && length != 0) || lines == nullptr) {
    return kBadArgument;
  }
  HeaderLine *head = nullptr;
  HeaderLine *tail = nullptr;
  unsigned char *bytes = reinterpret_cast<unsigned char *>(buffer);
  uint32_t in = 0;     // read index
  uint32_t out = 0;    // write index, never beyond in
  uint32_t start = 0;  // start of the current line in the rewritten buffer
  uint32_t count = 0;  // characters of the current line written so far
  while (in < length) {
    const KelhByteClass cls = kClasses.of[bytes[in]];
    if (cls == KELH_ORDINARY) {
      bytes[out++] = bytes[in++];
      ++count;
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
    ++count;
    if (line_end) {
      HeaderLine *line = static_cast<HeaderLine *>(tlvpr_malloc(sizeof(HeaderLine)));
      if (line == nullptr) {
        tvr_log(kLevelNoHeaderLine, kNoMemory);
        kelh_free_header_lines(head);
        return kNoMemory;
      }
      line->text = buffer + start;
      line->length = count - 1;
      line->next = nullptr;
      line->name_hash = kelh_name_hash(line->text, line->length);
      if (tail != nullptr) {
        tail->next = line;
      } else {
        head = line;
      }
      tail = line;
      start = out;
      count = 0;
    }
  }
  if (count != 0) {
    tvr_log(TVR_LOG_ALERT, kIllegalData);
    kelh_free_header_lines(head);
    return kNoMemory;
  }
  if (head == nullptr) {
    return kNoMemory;
  }
  *lines = head;
  return kOk;
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
uint32_t rulebase_evaluate(char *buffer, uint32_t length, RuleHit **hits,
                           const RuleBase *rule_base, int32_t threshold,
                           uint32_t max_header_length, uint32_t max_backtracks, int *verdict) {
  return kelh_evaluate(buffer, length, hits, rule_base, threshold, max_header_length,
                       max_backtracks, verdict, KelhRegxMatch{});
}

// kelh_evaluate_with - rulebase_evaluate with a caller's matcher
uint32_t kelh_evaluate_with(char *buffer, uint32_t length, RuleHit **hits,
                            const RuleBase *rule_base, int32_t threshold,
                            uint32_t max_header_length, uint32_t max_backtracks, int *verdict,
                            KelhMatchFn match, void *context) {
  if (match == nullptr) {
    return kBadArgument;
  }
  return kelh_evaluate(buffer, length, hits, rule_base, threshold, max_header_length,
                       max_backtracks, verdict, KelhCallbackMatch{match, context});
}
