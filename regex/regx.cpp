// regx - the fixed tables (byte classes, case folding, result texts), the
// interface calls that are not compiling or matching, and arena release.
// Compiler: regx_compile.cpp; matcher: regx_exec.cpp; shortcuts: regx_plan.cpp.
// Tests: tests/regx_test.cpp.
#include "regx.h"

#include <string.h>

#include "regx_internal.h"
#include "tlvpr_mem.h"

namespace {

// regx_classes_of - the classes of byte c; bytes 0x80-0xAF follow code page 437
constexpr uint16_t regx_classes_of(unsigned c) {
  const uint16_t punct = RX_CL_PUNCT | RX_CL_GRAPH | RX_CL_PRINT;
  const uint16_t upper = RX_CL_UPPER | RX_CL_ALPHA | RX_CL_ALNUM | RX_CL_GRAPH | RX_CL_PRINT;
  const uint16_t lower = RX_CL_LOWER | RX_CL_ALPHA | RX_CL_ALNUM | RX_CL_GRAPH | RX_CL_PRINT;
  if (c == 0x09) {
    return RX_CL_CNTRL | RX_CL_SPACE | RX_CL_BLANK;
  }
  if (c >= 0x0A && c <= 0x0D) {
    return RX_CL_CNTRL | RX_CL_SPACE;
  }
  if (c <= 0x1F || c == 0x7F) {
    return RX_CL_CNTRL;
  }
  if (c == 0x20) {
    return RX_CL_SPACE | RX_CL_BLANK | RX_CL_PRINT;
  }
  if (c >= 0x30 && c <= 0x39) {
    return RX_CL_DIGIT | RX_CL_XDIGIT | RX_CL_ALNUM | RX_CL_GRAPH | RX_CL_PRINT;
  }
  if (c >= 0x41 && c <= 0x5A) {
    return upper | (c <= 0x46 ? RX_CL_XDIGIT : 0);
  }
  if (c >= 0x61 && c <= 0x7A) {
    return lower | (c <= 0x66 ? RX_CL_XDIGIT : 0);
  }
  if (c < 0x7F) {
    return punct;
  }
  switch (c) {
    case 0x80:
    case 0x8E:
    case 0x8F:
    case 0x90:
    case 0x92:
    case 0x99:
    case 0x9A:
    case 0xA5:
      return upper;
    default:
      break;
  }
  if ((c >= 0x81 && c <= 0x8D) || c == 0x91 || (c >= 0x93 && c <= 0x98) ||
      (c >= 0xA0 && c <= 0xA4) || c == 0xA6 || c == 0xA7) {
    return lower;
  }
  if ((c >= 0x9B && c <= 0x9F) || (c >= 0xA8 && c <= 0xAF)) {
    return punct;
  }
  return RX_CL_PRINT;
}

struct RegxClassTable {
  uint16_t v[256];
};
constexpr RegxClassTable regx_make_classes() {
  RegxClassTable t{};
  for (unsigned c = 0; c < 256; c++) {
    t.v[c] = regx_classes_of(c);
  }
  return t;
}

struct RegxFoldTable {
  uint8_t v[256];
};
constexpr RegxFoldTable regx_make_folds() {
  RegxFoldTable t{};
  for (unsigned c = 0; c < 256; c++) {
    t.v[c] = (uint8_t)c;
  }
  for (unsigned c = 'A'; c <= 'Z'; c++) {
    t.v[c] = (uint8_t)(c + 32);
    t.v[c + 32] = (uint8_t)c;
  }
  const uint8_t pairs[][2] = {{0x80, 0x87}, {0x81, 0x9A}, {0x82, 0x90}, {0x84, 0x8E},
                              {0x86, 0x8F}, {0x91, 0x92}, {0x94, 0x99}, {0xA4, 0xA5}};
  for (const auto &p : pairs) {
    t.v[p[0]] = p[1];
    t.v[p[1]] = p[0];
  }
  return t;
}

constexpr RegxClassTable regx_classes = regx_make_classes();
constexpr RegxFoldTable regx_folds = regx_make_folds();
static_assert(regx_classes.v['\t'] == (RX_CL_CNTRL | RX_CL_SPACE | RX_CL_BLANK));
static_assert(regx_classes.v['F'] & RX_CL_XDIGIT);
static_assert(!(regx_classes.v['G'] & RX_CL_XDIGIT));
static_assert(regx_classes.v[0x9A] & RX_CL_UPPER);
static_assert(regx_classes.v[0xA7] & RX_CL_LOWER);
static_assert(regx_classes.v[0xB0] == RX_CL_PRINT);
static_assert(regx_folds.v['a'] == 'A' && regx_folds.v[0x9A] == 0x81 && regx_folds.v[0x83] == 0x83);

constexpr const char *regx_texts[] = {
    "success",
    "failed to match",
    "invalid collation element",
    "trailing \\ in pattern",
    "newline found before end of pattern",
    "",
    "number in \\[0-9] invalid",
    "[ ] imbalance or syntax error",
    "( ) or \\( \\) imbalance",
    "{ } or \\{ \\} imbalance",
    "invalid endpoint in range",
    "out of memory",
    "?, *, +, or { } not preceded by valid regular expression",
    "invalid character class type",
    "syntax error",
    "contents of { } or \\{ \\} invalid",
    "internal error",
    "invalid multibyte character",
    "backtrack stack overflow: expression generates too many alternatives",
    "function not supported",
    "too many backtracks: giving up execution",
};
static_assert(sizeof(regx_texts) / sizeof(regx_texts[0]) == REGX_ETOOMANY + 1);

}  // namespace

// The tables are spelled out from their constexpr builders so that they are
// plain constant arrays for the C-shaped interface.
#define RX_ROW(t, i) t.v[i], t.v[i + 1], t.v[i + 2], t.v[i + 3]
#define RX_ROW16(t, i) RX_ROW(t, i), RX_ROW(t, i + 4), RX_ROW(t, i + 8), RX_ROW(t, i + 12)
#define RX_ROW64(t, i) RX_ROW16(t, i), RX_ROW16(t, i + 16), RX_ROW16(t, i + 32), RX_ROW16(t, i + 48)
#define RX_TABLE(t) RX_ROW64(t, 0), RX_ROW64(t, 64), RX_ROW64(t, 128), RX_ROW64(t, 192)
const uint16_t regx_class_table[256] = {RX_TABLE(regx_classes)};
const uint8_t regx_fold_table[256] = {RX_TABLE(regx_folds)};
#undef RX_TABLE
#undef RX_ROW64
#undef RX_ROW16
#undef RX_ROW

// regx_init - nothing to prepare: the tables are constant
int regx_init(void) { return REGX_OK; }

// regx_error - the fixed text of a result code, cut and NUL-padded to size
size_t regx_error(int code, const RegxPattern *pattern, char *buffer, size_t size) {
  (void)pattern;
  const char *text =
      (code >= 0 && code <= REGX_ETOOMANY) ? regx_texts[code] : "unknown regex error";
  size_t len = strlen(text);
  if (size != 0 && buffer != nullptr) {
    size_t copy = len < size - 1 ? len : size - 1;
    memcpy(buffer, text, copy);
    memset(buffer + copy, 0, size - copy);
  }
  return len + 1;
}

// regx_release_blocks - frees every block and the bitmaps and texts its nodes own
void regx_release_blocks(RegxBlock *blocks) {
  while (blocks != nullptr) {
    RegxBlock *older = blocks->next;
    for (RegxNode &node : blocks->nodes) {
      switch (node.kind) {
        case RX_SET:
        case RX_NSET:
        case RX_NSET_NL:
          tlvpr_free(node.arg.bitmap);
          break;
        case RX_STRING:
          tlvpr_free(node.arg.text);
          break;
        default:
          break;
      }
    }
    tlvpr_free(blocks);
    blocks = older;
  }
}

// regx_free - releases what the record owns and empties it; an empty record is left alone
void regx_free(RegxPattern *pattern) {
  if (pattern == nullptr) {
    return;
  }
  regx_release_blocks(pattern->arena);
  regx_plan_release(pattern->plan);
  tlvpr_free(pattern->loop_state);
  pattern->arena = nullptr;
  pattern->program = nullptr;
  pattern->plan = nullptr;
  pattern->group_count = 0;
  pattern->loop_count = 0;
  pattern->loop_state = nullptr;
}
