// tlvpr_strings - copies and comparisons of terminated texts. Case folding is
// ASCII only, so the result never depends on the process locale.
// Tests: tests/tlvpr_format_test.cpp (TlvprStrings).

#include "tlvpr_strings.h"

#include <string.h>

#include "tlvpr_mem.h"

namespace {

// tlvpr_fold - the lower-case form of an ASCII letter; other bytes unchanged.
static unsigned char tlvpr_fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? (unsigned char)(c - 'A' + 'a') : c;
}

}  // namespace

// tlvpr_strdup - heap copy of a text.
char *tlvpr_strdup(const char *text) {
  if (text == nullptr) return nullptr;
  size_t len = strlen(text);
  char *copy = (char *)tlvpr_malloc(len + 1);
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, len + 1);
  return copy;
}

// tlvpr_stricmp - case-insensitive comparison.
int tlvpr_stricmp(const char *a, const char *b) { return tlvpr_strnicmp(a, b, (size_t)-1); }

// tlvpr_strnicmp - case-insensitive comparison of at most n characters.
int tlvpr_strnicmp(const char *a, const char *b, size_t n) {
  const unsigned char *x = (const unsigned char *)a;
  const unsigned char *y = (const unsigned char *)b;
  for (size_t i = 0; i < n; i++) {
    int diff = (int)tlvpr_fold(x[i]) - (int)tlvpr_fold(y[i]);
    if (diff != 0) return diff;
    if (x[i] == '\0') return 0;
  }
  return 0;
}

// tlvpr_strcmp - byte comparison as unsigned values: -1, 0 or 1.
int tlvpr_strcmp(const char *a, const char *b) {
  int rc = strcmp(a, b);
  return rc < 0 ? -1 : rc > 0 ? 1 : 0;
}

// tlvpr_strcmp_null - tlvpr_strcmp with null texts sorting first.
int tlvpr_strcmp_null(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : a == nullptr ? -1 : 1;
  return tlvpr_strcmp(a, b);
}
