// load_rules - decrypt, parse and compile the rule file (contract in load_rules.h)
//
// The loader streams the decrypted text one line at a time. Every rule line
// becomes a RuleLine, also a bad one when strict is 0: it keeps what its fields
// yielded before the first failing check (its rule ID above all), so that the
// removal of invalid rules can find the run of adjacent lines sharing that ID.
// Tests: tests/load_rules_test.cpp.
#include "load_rules.h"

#include <stdio.h>
#include <string.h>

#include <string_view>

#include "encryption.h"
#include "kelh_sets.h"
#include "regx.h"
#include "tlv_fgetl.h"
#include "tlv_rule_file.h"
#include "tlv_tmpfile.h"
#include "tlvpr_mem.h"
#include "tlvpr_sync.h"
#include "tvr_log.h"
#include "tvr_status.h"

namespace {

// Source line reported by the trace of a removed rule; log readers grep for it.
constexpr unsigned kDropTraceLine = 871;

constexpr const char kVersion1[] = "# version 03/30/1998/001";
constexpr const char kVersion2[] = "# version 04/18/2001/002";

// Everything after the rule ID: weight 3, type 3, conjunction 2.
constexpr uint32_t kFixedAfterId = 8;

// load_rules_is_space - the white space of blank lines and of atoi
constexpr bool load_rules_is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// load_rules_atoi - reads a fixed-width field the way atoi reads its text
//
// Leading white space, an optional sign, digits up to the first non-digit; the
// field is at most 10 characters, so the value fits 64 bits and is cut to 32
// bits as the C library's atoi does on this platform.
int32_t load_rules_atoi(std::string_view field) {
  size_t pos = 0;
  while (pos < field.size() && load_rules_is_space(static_cast<unsigned char>(field[pos]))) {
    ++pos;
  }
  bool negative = false;
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
    negative = field[pos] == '-';
    ++pos;
  }
  uint64_t value = 0;
  while (pos < field.size() && field[pos] >= '0' && field[pos] <= '9') {
    value = value * 10 + static_cast<uint64_t>(field[pos] - '0');
    ++pos;
  }
  if (negative) {
    value = 0 - value;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// load_rules_id_width - width of the rule ID field for a format version
constexpr uint32_t load_rules_id_width(int32_t version) { return version == 2 ? 10 : 6; }

// load_rules_parse_fields - the field checks of one rule line, in their order
//
// Stores ID, weight, type and conjunction in the record as they are read, so a
// line that fails a later check still carries its ID. Returns 0 or the code of
// the first failing check, and the offset of the pattern on success.
uint32_t load_rules_parse_fields(std::string_view text, int32_t version, RuleLine *line,
                                 uint32_t *pattern_offset) {
  const size_t width = load_rules_id_width(version);
  if (text.size() < width) {
    return TVR_RULE_SHORT_ID;
  }
  line->rule_id = load_rules_atoi(text.substr(0, width));
  if (line->rule_id == 0) {
    return TVR_RULE_BAD_ID;
  }
  size_t pos = width;
  if (text.size() - pos < 3) {
    return TVR_RULE_SHORT_WEIGHT;
  }
  line->weight = load_rules_atoi(text.substr(pos, 3));
  pos += 3;
  if (text.size() - pos < 3) {
    return TVR_RULE_SHORT_WEIGHT;
  }
  const std::string_view type = text.substr(pos, 3);
  pos += 3;
  if (text.size() - pos < 2) {
    return TVR_RULE_SHORT_CONJUNCTION;
  }
  const std::string_view conjunction = text.substr(pos, 2);
  pos += 2;
  if (type == "001") {
    if (conjunction != "&-") {
      return TVR_RULE_BAD_SINGLE_CONJUNCTION;
    }
    line->rule_type = RULE_TYPE_SINGLE;
    line->conjunction = RULE_CONJ_MORE;
  } else if (type == "005") {
    if (conjunction == "&+") {
      line->conjunction = RULE_CONJ_MORE;
    } else if (conjunction == "&.") {
      line->conjunction = RULE_CONJ_LAST;
    } else {
      return TVR_RULE_BAD_MULTI_CONJUNCTION;
    }
    line->rule_type = RULE_TYPE_MULTI;
  } else {
    return TVR_RULE_BAD_TYPE;
  }
  if (text.size() == pos) {
    return TVR_RULE_NO_REGEX;
  }
  *pattern_offset = static_cast<uint32_t>(pos);
  return 0;
}

// load_rules_read_line - one line of the decrypted text, without its LF
uint32_t load_rules_read_line(FILE *stream, char **text, int *had_lf) {
  return tlv_fgetl_strip(text, had_lf, TLV_FGETL_UNLIMITED, stream);
}

}  // namespace

// rulebase_line_is_rule - tells rule lines from comments and blank lines
int rulebase_line_is_rule(const char *text) {
  if (text == nullptr || text[0] == '#') {
    return 0;
  }
  for (const char *at = text; *at != '\0'; ++at) {
    if (!load_rules_is_space(static_cast<unsigned char>(*at))) {
      return 1;
    }
  }
  return 0;
}

// rulebase_version_of - the format version a version line names
int32_t rulebase_version_of(const char *text) {
  if (text == nullptr) {
    return 0;
  }
  if (strcmp(text, kVersion2) == 0) {
    return 2;
  }
  if (strcmp(text, kVersion1) == 0) {
    return 1;
  }
  return 0;
}

// rule_name_hash - hash of the literal header name a pattern begins with
uint32_t rule_name_hash(const char *pattern) {
  if (pattern == nullptr) {
    return 0;
  }
  const unsigned char *at = reinterpret_cast<const unsigned char *>(pattern);
  if (*at == '^') {
    ++at;
  }
  uint32_t hash = 0;
  for (; *at != '\0' && *at != ':'; ++at) {
    const unsigned char c = *at;
    const bool name_char =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!name_char) {
      return 0;
    }
    hash = hash * 33 + c;
  }
  return *at == ':' ? hash : 0;
}

// rulebase_free_line - releases one line: pattern, lock, record
void rulebase_free_line(RuleLine *line) {
  if (line == nullptr) {
    return;
  }
  line->next = nullptr;
  line->previous = nullptr;
  if (line->compile_status == 0) {
    regx_free(&line->pattern);
  }
  line->compile_status = 1;
  if ((line->flags & RULE_LINE_LOCKED) != 0) {
    tlvpr_lock_destroy(&line->lock);
  }
  tlvpr_free(line);
}

// rulebase_make_line - builds one RuleLine from one line of rule text
uint32_t rulebase_make_line(const char *text, int32_t version, RuleLine **line,
                            RuleLineCheck *check) {
  if (text == nullptr || line == nullptr || check == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  RuleLine *made = static_cast<RuleLine *>(tlvpr_calloc(1, sizeof(RuleLine)));
  if (made == nullptr) {
    return TVR_NO_MEMORY;
  }
  made->compile_status = 1;
  RuleLineCheck result = {0, 0, 0};
  result.code = load_rules_parse_fields(text, version, made, &result.pattern_offset);
  if (result.code == 0) {
    const char *pattern = text + result.pattern_offset;
    made->name_hash = rule_name_hash(pattern);
    if (tlvpr_lock_init(&made->lock) != 0) {
      rulebase_free_line(made);
      return TVR_MUTEX_INIT_FAILED;
    }
    made->flags |= RULE_LINE_LOCKED;
    const int rc = regx_compile(&made->pattern, pattern, REGX_EXTENDED);
    made->compile_status = static_cast<uint32_t>(rc);
    if (rc == REGX_ESPACE) {
      // Running out of memory says nothing about the rule; dropping the rule
      // for it would load a rule base that silently lacks rules.
      rulebase_free_line(made);
      return TVR_NO_MEMORY;
    }
    if (rc != REGX_OK) {
      result.code = TVR_RULE_BAD_REGEX;
      result.regx_result = static_cast<uint32_t>(rc);
    } else {
      made->flags |= RULE_LINE_VALID;
    }
  }
  *line = made;
  *check = result;
  return 0;
}

// rulebase_read_rule - reads, checks and compiles the next line of the rule text
uint32_t rulebase_read_rule(int32_t version, int strict, FILE *stream, RuleLine **line) {
  if (stream == nullptr || line == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  const int level = strict == 1 ? TVR_LOG_ERR : TVR_LOG_INFO;
  char *text = nullptr;
  int had_lf = 0;
  uint32_t rc = load_rules_read_line(stream, &text, &had_lf);
  if (rc == TVR_END_OF_FILE) {
    return rc;
  }
  if (rc != 0) {
    tvr_log(TVR_LOG_ERR, rc);
    return rc;
  }
  if (rulebase_line_is_rule(text) == 0) {
    tlvpr_free(text);
    *line = nullptr;
    return 0;
  }
  RuleLine *made = nullptr;
  RuleLineCheck check = {};
  rc = rulebase_make_line(text, version, &made, &check);
  if (rc != 0) {
    tvr_log(TVR_LOG_ERR, rc);
    tlvpr_free(text);
    return rc;
  }
  if (check.code == TVR_RULE_BAD_REGEX) {
    char message[256];
    regx_error(static_cast<int>(check.regx_result), nullptr, message, sizeof message);
    tvr_log(level, TVR_RULE_BAD_REGEX, message, text + check.pattern_offset,
            static_cast<unsigned>(made->rule_id));
    if (strict == 1) {
      rc = TVR_RULES_CANNOT_LOAD;
    }
  } else if (check.code != 0) {
    tvr_log(level, check.code);
    if (strict == 1) {
      rc = check.code;
    }
  }
  tlvpr_free(text);
  if (rc != 0) {
    rulebase_free_line(made);
    return rc;
  }
  *line = made;
  return 0;
}

// rulebase_read_version - reads and recognises the version line
uint32_t rulebase_read_version(FILE *stream, int32_t *version) {
  if (stream == nullptr || version == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  char *text = nullptr;
  int had_lf = 0;
  const uint32_t rc = load_rules_read_line(stream, &text, &had_lf);
  if (rc != 0) {
    tvr_log(TVR_LOG_ERR, rc);
    return rc;
  }
  if (had_lf == 0) {
    tlvpr_free(text);
    tvr_log(TVR_LOG_ERR, TVR_RULES_VERSION_NO_LF);
    return TVR_RULES_VERSION_NO_LF;
  }
  const int32_t found = rulebase_version_of(text);
  tlvpr_free(text);
  if (found == 0) {
    tvr_log(TVR_LOG_ERR, TVR_RULES_BAD_VERSION);
    return TVR_RULES_BAD_VERSION;
  }
  *version = found;
  return 0;
}

// rulebase_drop_invalid - removes every run of lines around an invalid line
//
// A run is the invalid line with its neighbours of equal rule ID, so a bad line
// takes its whole multi-line rule with it.
void rulebase_drop_invalid(RuleBase *rule_base) {
  if (rule_base == nullptr) {
    return;
  }
  RuleLine *line = rule_base->first;
  while (line != nullptr) {
    if ((line->flags & RULE_LINE_VALID) != 0) {
      line = line->next;
      continue;
    }
    tvr_log_trace(__FILE__, kDropTraceLine, nullptr, "removing invalid rule: %u",
                  static_cast<unsigned>(line->rule_id));
    RuleLine *first = line;
    while (first->previous != nullptr && first->previous->rule_id == line->rule_id) {
      first = first->previous;
    }
    RuleLine *last = line;
    while (last->next != nullptr && last->next->rule_id == line->rule_id) {
      last = last->next;
    }
    RuleLine *before = first->previous;
    RuleLine *after = last->next;
    if (before != nullptr) {
      before->next = after;
    } else {
      rule_base->first = after;
    }
    if (after != nullptr) {
      after->previous = before;
    }
    last->next = nullptr;
    while (first != nullptr) {
      RuleLine *next = first->next;
      rulebase_free_line(first);
      first = next;
    }
    line = after;
  }
}

// rulebase_free - releases a rule base and all its lines
uint32_t rulebase_free(RuleBase *rule_base) {
  if (rule_base == nullptr) {
    return 0;
  }
  kelh_sets_free(rule_base->sets);
  tlvpr_free(rule_base->entries);
  tlvpr_free(rule_base->names);
  RuleLine *line = rule_base->first;
  while (line != nullptr) {
    RuleLine *next = line->next;
    rulebase_free_line(line);
    line = next;
  }
  tlvpr_free(rule_base);
  return 0;
}

// rulebase_count - adds the rules and patterns of a rule base to two counters
uint32_t rulebase_count(const RuleBase *rule_base, uint32_t *rules, uint32_t *patterns) {
  if (rules == nullptr || patterns == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  if (rule_base == nullptr) {
    return 0;
  }
  for (const RuleLine *line = rule_base->first; line != nullptr; line = line->next) {
    ++*patterns;
    if (!(line->rule_type == RULE_TYPE_MULTI && line->conjunction == RULE_CONJ_MORE)) {
      ++*rules;
    }
  }
  return 0;
}

namespace {

// load_rules_names - numbers the header names of count entries (name_hash
// non-zero) in order of first use and makes the table of them: *names (one
// allocation holding the names and then *slots) and what a header line of
// each name needs of the sets. 0 or 10013.
uint32_t load_rules_names(RuleEntry *entries, uint32_t count, const KelhSets *sets,
                          RuleBase *names) {
  // The names are counted in a table sized for count names, then kept in one
  // sized for those there are, so that a message's probes stay in few slots.
  const uint32_t wide = kelh_slots_for(count);
  RuleNameSlot *numbering = static_cast<RuleNameSlot *>(tlvpr_calloc(wide, sizeof(RuleNameSlot)));
  if (numbering == nullptr) {
    return TVR_NO_MEMORY;
  }
  uint32_t distinct = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t hash = entries[i].name_hash;
    if (hash == 0) {
      continue;
    }
    RuleNameSlot &slot = numbering[kelh_probe(numbering, wide - 1, hash)];
    if (slot.number == 0) {
      slot = RuleNameSlot{hash, ++distinct};
    }
    entries[i].name = slot.number - 1;
  }
  tlvpr_free(numbering);
  const uint32_t slots = kelh_slots_for(distinct);
  void *block = tlvpr_calloc(1, sizeof(RuleName) * distinct + sizeof(RuleNameSlot) * slots);
  if (block == nullptr) {
    return TVR_NO_MEMORY;
  }
  names->names = static_cast<RuleName *>(block);
  names->name_slots = reinterpret_cast<RuleNameSlot *>(names->names + distinct);
  names->name_mask = slots - 1;
  names->name_count = distinct;
  uint32_t unnamed = 0;
  names->unnamed_need = kelh_sets_line(sets, 0, &unnamed);
  names->unnamed_first = kelh_sets_first(sets, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t hash = entries[i].name_hash;
    RuleNameSlot &slot = names->name_slots[kelh_probe(names->name_slots, names->name_mask, hash)];
    if (hash != 0 && slot.number == 0) {
      slot = RuleNameSlot{hash, entries[i].name + 1};
      RuleName &name = names->names[entries[i].name];
      name.hash = hash;
      kelh_sets_line(sets, hash, &name.named);
      name.first = kelh_sets_first(sets, hash);
    }
  }
  return 0;
}

}  // namespace

// rulebase_make_sets - (re)builds the sets that answer the rule base's
// patterns a header line at a time, the entries and their names
uint32_t rulebase_make_sets(RuleBase *rule_base, size_t cap) {
  if (rule_base == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  uint32_t count = 0;
  for (const RuleLine *line = rule_base->first; line != nullptr; line = line->next) {
    ++count;
  }
  const RegxPattern **patterns =
      static_cast<const RegxPattern **>(tlvpr_calloc(count + 1, sizeof(RegxPattern *)));
  uint32_t *hashes = static_cast<uint32_t *>(tlvpr_calloc(count + 1, sizeof(uint32_t)));
  uint32_t status = TVR_NO_MEMORY;
  KelhSets *sets = nullptr;
  if (patterns != nullptr && hashes != nullptr) {
    uint32_t at = 0;
    for (const RuleLine *line = rule_base->first; line != nullptr; line = line->next, ++at) {
      patterns[at] = &line->pattern;
      hashes[at] = line->name_hash;
    }
    status = kelh_sets_build(patterns, hashes, count, cap, &sets);
  }
  tlvpr_free(patterns);
  tlvpr_free(hashes);
  RuleEntry *entries = nullptr;
  if (status == 0) {
    entries = static_cast<RuleEntry *>(tlvpr_calloc(count + 1, sizeof(RuleEntry)));
    status = entries != nullptr ? 0 : TVR_NO_MEMORY;
  }
  RuleBase names = {};
  if (status == 0) {
    uint32_t at = 0;
    for (RuleLine *line = rule_base->first; line != nullptr; line = line->next, ++at) {
      const KelhRulePlace place = kelh_sets_rule(sets, at);
      RuleEntry &entry = entries[at];
      entry.line = line;
      entry.set = place.set >= 0 ? kelh_sets_get(sets, static_cast<uint32_t>(place.set)) : nullptr;
      entry.name_hash = line->name_hash;
      entry.local = place.local;
      entry.bit = place.bit;
      entry.rule_type = static_cast<uint16_t>(line->rule_type);
      entry.conjunction = static_cast<uint16_t>(line->conjunction);
    }
    status = load_rules_names(entries, count, sets, &names);
  }
  if (status != 0) {
    kelh_sets_free(sets);
    tlvpr_free(entries);
    return status;
  }
  kelh_sets_free(rule_base->sets);
  tlvpr_free(rule_base->entries);
  tlvpr_free(rule_base->names);
  rule_base->sets = sets;
  rule_base->entries = entries;
  rule_base->entry_count = count;
  rule_base->names = names.names;
  rule_base->name_count = names.name_count;
  rule_base->name_slots = names.name_slots;
  rule_base->name_mask = names.name_mask;
  rule_base->unnamed_need = names.unnamed_need;
  rule_base->unnamed_first = names.unnamed_first;
  return 0;
}

// rulebase_parse - builds a RuleBase from the plain rule text
uint32_t rulebase_parse(FILE *stream, RuleBase **rule_base, int strict) {
  uint32_t status = 0;
  RuleBase *made = nullptr;
  if (stream == nullptr || rule_base == nullptr) {
    status = TVR_BAD_ARGUMENT;
  } else if ((made = static_cast<RuleBase *>(tlvpr_calloc(1, sizeof(RuleBase)))) == nullptr) {
    status = TVR_NO_MEMORY;
  } else if (rulebase_read_version(stream, &made->format_version) != 0) {
    status = TVR_RULES_NO_VERSION;
  } else {
    RuleLine *tail = nullptr;
    for (;;) {
      RuleLine *line = nullptr;
      const uint32_t rc = rulebase_read_rule(made->format_version, strict, stream, &line);
      if (rc == TVR_END_OF_FILE) {
        break;
      }
      if (rc != 0) {
        status = TVR_RULES_NO_NEXT_RULE;
        break;
      }
      if (line == nullptr) {
        continue;
      }
      line->previous = tail;
      if (tail != nullptr) {
        tail->next = line;
      } else {
        made->first = line;
      }
      tail = line;
    }
  }
  if (status == 0) {
    rulebase_drop_invalid(made);
    uint32_t rules = 0;
    uint32_t lines = 0;
    rulebase_count(made, &rules, &lines);
    status = rulebase_make_sets(made, kelh_sets_cap(lines));
  }
  if (status != 0) {
    tvr_log(TVR_LOG_INFO, status);
    rulebase_free(made);
    return status;
  }
  *rule_base = made;
  return 0;
}

// rulebase_load - decrypts the open rule file and loads its rules
uint32_t rulebase_load(RuleBase **rule_base, FILE *stream, const char *key, int key_type,
                       int strict) {
  if (rule_base != nullptr) {
    *rule_base = nullptr;
  }
  if (rule_base == nullptr || stream == nullptr || key_type == -1) {
    return TVR_BAD_ARGUMENT;
  }
  FILE *plain = nullptr;
  if (tlv_tmpfile_open(&plain) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_RULES_NO_TEMP_FILE);
    return TVR_RULES_NO_TEMP_FILE;
  }
  uint32_t rc = tlvDecrypt(stream, plain, key, key_type);
  if (rc != 0) {
    tvr_log(TVR_LOG_ERR, TVR_RULES_CANNOT_DECRYPT);
  } else if (fseek(plain, 0, SEEK_SET) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_RULES_CANNOT_REWIND);
    rc = TVR_SEEK_ERROR;
  } else {
    rc = rulebase_parse(plain, rule_base, strict);
    if (rc != 0) {
      tvr_log(TVR_LOG_ERR, TVR_RULES_CANNOT_LOAD);
    } else {
      uint32_t rules = 0;
      uint32_t patterns = 0;
      rulebase_count(*rule_base, &rules, &patterns);
      tvr_log(TVR_LOG_INFO, TVR_RULES_LOADED, rules, patterns);
    }
  }
  fclose(plain);
  if (rc != 0 && *rule_base != nullptr) {
    rulebase_free(*rule_base);
    *rule_base = nullptr;
  }
  return rc;
}

// rulebase_load_path - opens a rule file by name, with retries, and loads it
uint32_t rulebase_load_path(RuleBase **rule_base, const char *path, const char *key, int key_type,
                            int strict) {
  if (rule_base != nullptr) {
    *rule_base = nullptr;
  }
  if (rule_base == nullptr || path == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  FILE *stream = tlv_rule_file_open(path);
  if (stream == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_RULES_CANNOT_OPEN);
    return TVR_RULES_CANNOT_OPEN;
  }
  const uint32_t rc = rulebase_load(rule_base, stream, key, key_type, strict);
  fclose(stream);
  return rc;
}
