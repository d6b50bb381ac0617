// tlvpr_errno - error numbers and texts. The C library's texts come from
// strerrordesc_np, which gives static text (thread-safe) or null for numbers it
// does not know. Tests: tests/tlvpr_test.cpp.
#include "tlvpr_errno.h"

#include <errno.h>
#include <string.h>

// tlvpr_last_error - errno, for every kind on this platform
int tlvpr_last_error(int kind) {
  (void)kind;
  return errno;
}

// tlvpr_error_text - the text of an error number of a kind
const char *tlvpr_error_text(int error, int kind) {
  if (kind < 0 || kind > 2) {
    return "Invalid Error: Unknown Type";
  }
  if (kind != TLVPR_ERR_RUNTIME) {
    return "Unknown Error; Out of range";
  }
  const char *text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown Error; Out of range";
}
