// milter_check - asks a running milter whether it answers, as an MTA would
//
// milter_check(address, timeout, why, why_size) connects to a milter socket
// (libmilter's forms: "unix:PATH", "local:PATH", "/PATH", "inet:PORT@HOST",
// "inet6:PORT@HOST"; HOST a numeric address or a name), sends the option
// negotiation of milter protocol version 6 offering every action and step,
// reads the answer, and says goodbye (quit). Results: 0 when the answer is a
// negotiation reply; 1 with one line of reason in why (terminated when
// why_size > 0): the address is not of those forms, the connection failed,
// the milter closed it or answered something else, or timeout seconds passed
// on a connect, write or read. Nothing is logged; no shared state.
#ifndef MILTER_MILTER_CHECK_H
#define MILTER_MILTER_CHECK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t milter_check(const char *address, uint32_t timeout, char *why, size_t why_size);

#ifdef __cplusplus
}
#endif

#endif
