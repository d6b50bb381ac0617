// tvr_parse_num - strict decimal parsing of 32-bit numbers
//
// tvr_parse_uint_prefix(text, &end, &value) skips blanks (the blank character
// only, not tabs or line ends), one optional "+", then needs a decimal digit
// and reads digits up to the first non-digit. tvr_parse_int_prefix does the
// same for signed numbers and also accepts one "-". The range is exact:
// 0..4294967295 and -2147483648..2147483647. On 0 the value and (when end is
// not null) the position of the first non-digit are written; otherwise
// nothing is written.
//
// tvr_check_number_end(position, flags) examines the one character at
// position: the terminator is always accepted, white space (blank, tab, line
// feed, vertical tab, form feed, carriage return) only with
// PARSE_ALLOW_TRAILING_SPACE, any other character only with
// PARSE_ALLOW_TRAILING_TEXT.
//
// tvr_parse_uint / tvr_parse_int(text, flags, &value): the prefix parser, then
// the end check; the first non-zero result is returned. The value is written
// by the prefix parser even when the end check fails: take it only on 0.
//
// Results (tvr_status.h): 0; 2050 TVR_PARSE_OUT_OF_RANGE; 2052
// TVR_PARSE_BAD_CHARACTER (a character the call does not accept); 10040 for a
// null text, position or value. These codes are only returned, never logged:
// the catalog has no text for 2050 and 2052. Nothing logs; no state.
#ifndef COMMON_UTILS_SRC_TVR_PARSE_NUM_H
#define COMMON_UTILS_SRC_TVR_PARSE_NUM_H

#include <stdint.h>

#include "tvr_status.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PARSE_ALLOW_TRAILING_SPACE 1
#define PARSE_ALLOW_TRAILING_TEXT 2

uint32_t tvr_parse_uint_prefix(const char *text, const char **end, uint32_t *value);
uint32_t tvr_parse_int_prefix(const char *text, const char **end, int32_t *value);
uint32_t tvr_check_number_end(const char *position, int flags);
uint32_t tvr_parse_uint(const char *text, int flags, uint32_t *value);
uint32_t tvr_parse_int(const char *text, int flags, int32_t *value);

#ifdef __cplusplus
}
#endif

#endif
