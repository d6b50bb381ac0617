// tvr_messages - the catalog as a constant table sorted by code, plus a
// compile-time index of one byte per code slot (position in the table plus one,
// 0 = no text), so that a lookup, which every log call makes before its
// threshold test, is a single load. Tests: tests/tvr_log_test.cpp.
#include "tvr_messages.h"

#include <array>

#include "tvr_status.h"

namespace {

constexpr TvrMessage tvr_messages_table[] = {
    {1003, "Internal logging error.  Error code: %d."},
    {2042, "Encryption error: Error reading input file."},
    {2043, "Encryption error: error base64 encoding/decoding data."},
    {2044, "Encryption: %d bytes were en-/de-crypted."},
    {2045, "Encryption error while encrypting input data."},
    {2046, "Encryption error: wrong key length: %d."},
    {2047, "Encryption error: unknown encryption type: %d."},
    {2070, "Invalid syslog facility '%s'.  Using 'mail'."},
    {10001, "Malloc error while attempting to allocate %d bytes."},
    {10008, "Calloc error while attempting to allocate %d bytes."},
    {10013, "Malloc error while attempting to allocate memory."},
    {10018, "Null argument(s) passed to %s."},
    {10019, "Could not open file: %s."},
    {10030, "Failed to initialize mutex."},
    {10034, "End of file encountered."},
    {10035, "File error encountered."},
    {10040, "Bad argument passed to function."},
    {10044, "Error getting file status."},
    {10047, "Illegal data."},
    {10056, "Unable to open file: %s."},
    {10070, "errno: %d: %s."},
    {10081, "Could not split the log file %s into the directory, log file name and extension."},
    {10089, "Missing mandatory config setting \"%s\""},
    {10090, "Error while reading config setting \"%s\""},
    {10092, "Bad value for config setting \"%s\""},
    {10098, "File path is malformed: \"%s\""},
    {11007, "tlvModEndHeaders: (regex filter) could not read MDS."},
    {11008, "tlvModEndHeaders: (regex filter) could not seek MDS."},
    {11009, "tlvModEndMessage: (regex filter) error encountered in regex engine."},
    {11010, "tlvModInitModule: (regex filter) cannot configure module."},
    {11011, "tlvModInitModule: (regex filter) could not initialize the regex engine."},
    {11012, "tlvModInitModule: (regex filter) cannot read rulebase."},
    {11013,
     "tlvModEndMessage: (regex filter) headers length %u > max allowed %u, returning spam "
     "disposition."},
    {27115, "read_junkdam_config: %s missing settings."},
    {29001, "Rule %u; regex error %s (%d) for header \"%.*s\"."},
    {29004, "Incomplete last line of rule file on version string."},
    {29005, "Incorrect version string in rule file."},
    {29007, "Rule too short: rule ID."},
    {29008, "Bad rule ID."},
    {29009, "Rule too short: rule weight."},
    {29010, "Rule too short: rule conjunction."},
    {29011, "Bad conjunction on a single line rule."},
    {29012, "Bad conjunction on a multi line rule."},
    {29013, "Bad rule type."},
    {29014, "Rule too short: no regex."},
    {29015, "Cannot read version strings."},
    {29016, "Cannot read next rule from file."},
    {29018, "Bad regular expression: %s: %s: %u."},
    {29024, "Cannot open rule file."},
    {29025, "Cannot open decryption file."},
    {29026, "Could not decrypt rule file."},
    {29027, "Could not rewind decrypted file."},
    {29028, "Cannot load rule base."},
    {29029, "Rules loaded = %u, regexs loaded = %u."},
    {29030, "Header longer than %u, not checking: \"%.*s\"."},
};

constexpr size_t tvr_messages_size = sizeof(tvr_messages_table) / sizeof(tvr_messages_table[0]);

// tvr_messages_sorted - the lookup relies on strictly ascending codes within range
constexpr bool tvr_messages_sorted() {
  for (size_t i = 0; i < tvr_messages_size; i++) {
    if (tvr_messages_table[i].text == nullptr || tvr_messages_table[i].code > TVR_MESSAGES_LAST) {
      return false;
    }
    if (i > 0 && tvr_messages_table[i - 1].code >= tvr_messages_table[i].code) {
      return false;
    }
  }
  return true;
}
static_assert(tvr_messages_sorted(), "catalog codes must ascend and stay within the table");
static_assert(tvr_messages_table[0].code == 1003, "the unknown-code report must have its text");
static_assert(tvr_messages_size == 55, "catalog size");

static_assert(tvr_messages_size < 255, "positions must fit the one-byte index");

// tvr_messages_has - whether the catalog holds a text for code
constexpr bool tvr_messages_has(uint32_t code) {
  for (const TvrMessage &m : tvr_messages_table) {
    if (m.code == code) {
      return true;
    }
  }
  return false;
}

// Every named code is where its kind says: a logged code has a catalog text, a
// returned one has none; and the catalog holds only named codes.
#define TVR_MESSAGES_LOGGED(name, code) \
  static_assert(tvr_messages_has(code), #name " needs a catalog text");
#define TVR_MESSAGES_RETURNED(name, code, text) \
  static_assert(!tvr_messages_has(code), #name " is returned only: no catalog text");
TVR_STATUS_LOGGED(TVR_MESSAGES_LOGGED)
TVR_STATUS_RETURNED(TVR_MESSAGES_RETURNED)
#undef TVR_MESSAGES_LOGGED
#undef TVR_MESSAGES_RETURNED

#define TVR_MESSAGES_COUNT(name, code) +1
static_assert(0 TVR_STATUS_LOGGED(TVR_MESSAGES_COUNT) == tvr_messages_size,
              "every catalog code is named in tvr_status.h");
#undef TVR_MESSAGES_COUNT

struct TvrReturned {
  uint32_t code;     // a code that is only returned
  const char *text;  // what a caller shows for it; "" none
};

#define TVR_MESSAGES_RETURNED_ROW(name, code, text) {code, text},
constexpr TvrReturned tvr_returned_table[] = {TVR_STATUS_RETURNED(TVR_MESSAGES_RETURNED_ROW)};
#undef TVR_MESSAGES_RETURNED_ROW

// tvr_messages_make_index - position plus one of every code's text, by code
constexpr std::array<uint8_t, TVR_MESSAGES_LAST + 1> tvr_messages_make_index() {
  std::array<uint8_t, TVR_MESSAGES_LAST + 1> index{};
  for (size_t i = 0; i < tvr_messages_size; i++) {
    index[tvr_messages_table[i].code] = (uint8_t)(i + 1);
  }
  return index;
}

constexpr std::array<uint8_t, TVR_MESSAGES_LAST + 1> tvr_messages_index = tvr_messages_make_index();

}  // namespace

// tvr_message_text - the text of a code slot, through the index
const char *tvr_message_text(uint32_t code) {
  if (code > TVR_MESSAGES_LAST) {
    return nullptr;
  }
  uint8_t slot = tvr_messages_index[code];
  return slot == 0 ? nullptr : tvr_messages_table[slot - 1].text;
}

// tvr_returned_text - the text of a code that is only returned
const char *tvr_returned_text(uint32_t code) {
  for (const TvrReturned &r : tvr_returned_table) {
    if (r.code == code) {
      return r.text[0] != '\0' ? r.text : nullptr;
    }
  }
  return nullptr;
}

const TvrMessage *const tvr_messages = tvr_messages_table;
const size_t tvr_messages_count = tvr_messages_size;
