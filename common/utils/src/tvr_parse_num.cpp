// tvr_parse_num - the parsers classify bytes with one 256-entry table, so bytes
// from 128 upwards are never digits or white space whatever the locale. The
// overflow tests run before each digit is added, so no intermediate value
// leaves 32 bits. Tests: tests/tvr_parse_num_test.cpp.

#include "tvr_parse_num.h"

#include <stddef.h>

#include "tvr_status.h"

namespace {

constexpr unsigned char TVR_PARSE_DIGIT = 1;
constexpr unsigned char TVR_PARSE_SPACE = 2;

struct TvrParseClasses {
  unsigned char of[256];
};

constexpr TvrParseClasses tvr_parse_make_classes() {
  TvrParseClasses t{};
  for (int c = '0'; c <= '9'; c++) t.of[c] = TVR_PARSE_DIGIT;
  const char spaces[] = " \t\n\v\f\r";
  for (int i = 0; spaces[i] != '\0'; i++) t.of[(unsigned char)spaces[i]] = TVR_PARSE_SPACE;
  return t;
}

constexpr TvrParseClasses tvr_parse_classes = tvr_parse_make_classes();
static_assert(tvr_parse_classes.of['7'] == TVR_PARSE_DIGIT, "digits");
static_assert(tvr_parse_classes.of['\v'] == TVR_PARSE_SPACE, "vertical tab is white space");
static_assert(tvr_parse_classes.of[0xA0] == 0 && tvr_parse_classes.of[0xB2] == 0,
              "bytes from 128 are neither digits nor space");

static bool tvr_parse_is_digit(char c) {
  return tvr_parse_classes.of[(unsigned char)c] == TVR_PARSE_DIGIT;
}

// tvr_parse_skip_blanks - skips blank characters only.
static const char *tvr_parse_skip_blanks(const char *p) {
  while (*p == ' ') p++;
  return p;
}

}  // namespace

// tvr_parse_uint_prefix - an unsigned decimal number at the start of text.
uint32_t tvr_parse_uint_prefix(const char *text, const char **end, uint32_t *value) {
  if (text == nullptr || value == nullptr) return TVR_BAD_ARGUMENT;
  const char *p = tvr_parse_skip_blanks(text);
  if (*p == '+') p++;
  if (!tvr_parse_is_digit(*p)) return TVR_PARSE_BAD_CHARACTER;
  uint32_t v = 0;
  for (; tvr_parse_is_digit(*p); p++) {
    uint32_t digit = (uint32_t)(*p - '0');
    if (v > 429496729u || (uint64_t)v * 10 + digit > 4294967295u) return TVR_PARSE_OUT_OF_RANGE;
    v = v * 10 + digit;
  }
  if (end != nullptr) *end = p;
  *value = v;
  return 0;
}

// tvr_parse_int_prefix - a signed decimal number at the start of text; a
// negative number is accumulated downwards so -2147483648 is in range.
uint32_t tvr_parse_int_prefix(const char *text, const char **end, int32_t *value) {
  if (text == nullptr || value == nullptr) return TVR_BAD_ARGUMENT;
  const char *p = tvr_parse_skip_blanks(text);
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!tvr_parse_is_digit(*p)) return TVR_PARSE_BAD_CHARACTER;
  int32_t v = 0;
  for (; tvr_parse_is_digit(*p); p++) {
    int32_t digit = *p - '0';
    if (negative) {
      if (v < -214748364 || (int64_t)v * 10 - digit < INT32_MIN) return TVR_PARSE_OUT_OF_RANGE;
      v = v * 10 - digit;
    } else {
      if (v > 214748364 || (int64_t)v * 10 + digit > INT32_MAX) return TVR_PARSE_OUT_OF_RANGE;
      v = v * 10 + digit;
    }
  }
  if (end != nullptr) *end = p;
  *value = v;
  return 0;
}

// tvr_check_number_end - whether the character after a number may end it.
uint32_t tvr_check_number_end(const char *position, int flags) {
  if (position == nullptr) return TVR_BAD_ARGUMENT;
  unsigned char c = (unsigned char)*position;
  if (c == '\0') return 0;
  if (tvr_parse_classes.of[c] == TVR_PARSE_SPACE) {
    return (flags & PARSE_ALLOW_TRAILING_SPACE) != 0 ? 0 : TVR_PARSE_BAD_CHARACTER;
  }
  return (flags & PARSE_ALLOW_TRAILING_TEXT) != 0 ? 0 : TVR_PARSE_BAD_CHARACTER;
}

// tvr_parse_uint - a whole unsigned number with the end rule of flags.
uint32_t tvr_parse_uint(const char *text, int flags, uint32_t *value) {
  const char *end = nullptr;
  uint32_t rc = tvr_parse_uint_prefix(text, &end, value);
  return rc != 0 ? rc : tvr_check_number_end(end, flags);
}

// tvr_parse_int - a whole signed number with the end rule of flags.
uint32_t tvr_parse_int(const char *text, int flags, int32_t *value) {
  const char *end = nullptr;
  uint32_t rc = tvr_parse_int_prefix(text, &end, value);
  return rc != 0 ? rc : tvr_check_number_end(end, flags);
}
