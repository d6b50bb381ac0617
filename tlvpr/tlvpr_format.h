// tlvpr_format - the system's own printf-style formatter
//
// tlvpr_format(flush, sink, format, args) walks format and writes characters at
// sink->cur; when cur reaches sink->end it calls flush(sink), which either makes
// room (updates cur and end, returns 0) or stops the engine (non-zero). A null
// sink->cur counts without storing. Result: the number of characters produced,
// -1 when flush stopped it, 1 for a malformed positional specification (or when
// the positional argument table cannot be allocated). On a normal return the
// final cur is stored in the sink.
//
// tlvpr_vsnprintf / tlvpr_snprintf(buffer, size, format, ...): store at most
// size-1 characters and a terminator (when size >= 1). Result: the length of the
// text when it fitted, size when it was cut, 1 (and an empty buffer) for a
// malformed positional specification. A null buffer with size 0 gives the full
// length; a null buffer with a non-zero size is not allowed.
//
// Conversions: % c s d i u o x X e E f g G n, p with its selector A (IPv4
// address), I (IPv4 socket address), p (pointer in hex); flags - + # space 0;
// width and precision as digits or * (also positional, n$); length modifiers
// q, l (no effect: integers are 32 bits) and h (16 bits). Pass int-sized
// integers. Positional formats ("%2$s %1$s") of more than 8 positions use a
// heap table (tlvpr_malloc); otherwise nothing is allocated. Every conversion
// is built in a bounded buffer: no width, precision or value writes outside it.
// No static state: safe on any number of threads.
#ifndef TLVPR_TLVPR_FORMAT_H
#define TLVPR_TLVPR_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TlvprSink {
  char *cur;  // next position to write; null = count only
  char *end;  // position at which the sink is full
} TlvprSink;

typedef int (*TlvprFlush)(TlvprSink *sink);

int tlvpr_format(TlvprFlush flush, TlvprSink *sink, const char *format, va_list args);
int tlvpr_vsnprintf(char *buffer, size_t size, const char *format, va_list args);
int tlvpr_snprintf(char *buffer, size_t size, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
