// tvr_messages - the message catalog: the printf-style text of every message code
//
// tvr_message_text(code) is the catalog text of code (a format for tlvpr_format),
// or null when the catalog has no text for it (codes 0 to TVR_MESSAGES_LAST may
// have one; anything above never has). The texts are constant, static and exact,
// odd spacing and missing full stops included; the catalog holds the codes this
// system logs plus 1003, the log call's own report of an unknown code.
//
// tvr_returned_text(code) is the text of a code that is only returned, never
// logged (TVR_STATUS_RETURNED in tvr_status.h), for a caller that shows it to
// a user; null for any other code and for a returned code without text.
//
// Read-only: safe on any number of threads.
#ifndef COMMON_UTILS_SRC_TVR_MESSAGES_H
#define COMMON_UTILS_SRC_TVR_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { TVR_MESSAGES_LAST = 29030 };  // highest code a catalog slot exists for

typedef struct TvrMessage {
  uint32_t code;     // message code
  const char *text;  // format text
} TvrMessage;

const char *tvr_message_text(uint32_t code);
const char *tvr_returned_text(uint32_t code);

// The catalog itself, in ascending code order, for tools and tests that walk it.
extern const TvrMessage *const tvr_messages;
extern const size_t tvr_messages_count;

#ifdef __cplusplus
}
#endif

#endif
