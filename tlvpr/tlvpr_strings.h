// tlvpr_strings - string helpers
//
// tlvpr_strdup(text): a heap copy (tlvpr_malloc; the caller frees it with
// tlvpr_free), null for a null text or when memory runs out.
// tlvpr_stricmp(a, b) / tlvpr_strnicmp(a, b, n): ASCII case-insensitive
// comparison (over at most n characters); <0, 0, >0.
// tlvpr_strcmp(a, b): byte comparison as unsigned values: -1, 0 or 1.
// tlvpr_strcmp_null(a, b): as tlvpr_strcmp, a null text sorts before any text and
// two nulls are equal. No shared state.
#ifndef TLVPR_TLVPR_STRINGS_H
#define TLVPR_TLVPR_STRINGS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

char *tlvpr_strdup(const char *text);
int tlvpr_stricmp(const char *a, const char *b);
int tlvpr_strnicmp(const char *a, const char *b, size_t n);
int tlvpr_strcmp(const char *a, const char *b);
int tlvpr_strcmp_null(const char *a, const char *b);

#ifdef __cplusplus
}
#endif

#endif
