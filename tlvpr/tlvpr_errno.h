// tlvpr_errno - last error numbers and their texts
//
// tlvpr_last_error(kind) is errno for every kind on this platform (the socket
// and system kinds have no separate number here).
// tlvpr_error_text(error, kind): kind below 0 or above 2 gives "Invalid Error:
// Unknown Type"; kinds 0 (socket) and 1 (system) give "Unknown Error; Out of
// range"; kind 2 gives the C library's text for errno value error, or "Unknown
// Error; Out of range" when it has none. The text is not the caller's to free;
// it is stable for the life of the process (thread-safe).
#ifndef TLVPR_TLVPR_ERRNO_H
#define TLVPR_TLVPR_ERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

enum { TLVPR_ERR_SOCKET = 0, TLVPR_ERR_SYSTEM = 1, TLVPR_ERR_RUNTIME = 2 };

int tlvpr_last_error(int kind);
const char *tlvpr_error_text(int error, int kind);

#ifdef __cplusplus
}
#endif

#endif
