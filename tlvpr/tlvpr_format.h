// tlvpr_format - the system's own printf-style formatter
//
// tlvpr_format(flush, sink, format, args) walks format and writes characters at
// sink->cur; when cur has reached sink->end and one more character is due it
// calls flush(sink), which either makes room (updates cur and end, returns 0)
// or stops the engine (non-zero). A null sink->cur counts without storing.
// Result: the number of characters produced (saturating at INT_MAX), -1 when
// flush stopped it (sink->cur is where the output stopped), 1 for a malformed
// positional directive or when the positional argument table cannot be
// allocated (sink->cur is then left as the last flush saw it). On a normal
// return the final cur is stored in the sink. A null format produces nothing.
//
// tlvpr_vsnprintf / tlvpr_snprintf(buffer, size, format, ...): store at most
// size-1 characters and a terminator (when size >= 1). Result: the length of the
// text when it fitted, size when it was cut (INT_MAX for larger sizes), 1 (and
// an empty buffer) for a malformed positional directive. A null buffer
// with size 0 gives the full length; size 0 with a buffer stores nothing; a
// null buffer with a non-zero size stores nothing either (the caller's error).
//
// Conversions: % c s d i u o x X e E f g G n, p with its selector A (IPv4
// address, 4 bytes in network order), I (IPv4 socket address: 2-byte family,
// 2-byte port and 4-byte address, both in network order), p (pointer in hex);
// any other selector gives "bogus %p" and takes no argument. Flags - + # space
// 0; width and precision as digits or * (*n$ in positional formats); a
// negative * width left-justifies, a negative * precision is 0. Length
// modifiers q, l (no effect: integers are 32 bits, pass int-sized values) and
// h (16 bits). An unknown conversion character x gives "%x". The "0" flag pads
// numbers with zeros even with a precision, and a left-justified field pads on
// the right with the pad character ("%-05d" of 42 is "42000").
//
// Floating point uses a classic decimal digit generator: rounding half up,
// %g drops trailing zeros and a leading zero (0.5 gives ".5", 100000 gives
// "1.e+5"), %e of 0 gives "0.000000e-01", -0.0 has no sign, at most 78
// significant digits (%f shows at most 78 fraction digits; integer digits
// beyond the generator's 80 are written as zeros). Infinities and NaN give
// "inf" / "nan" ("INF" / "NAN" for E and G) with the usual sign rules.
//
// Positional formats ("%2$s %1$s"): every conversion names its position
// (1 to 256) first, then optional flags, width, *n$, precision (.n or .*n$),
// length and conversion; "%%" and conversions without a position are
// malformed. More than 8 positions use a heap table (tlvpr_malloc); otherwise
// nothing is allocated. Every conversion is built in a bounded buffer or
// emitted piecewise: no width, precision or value writes outside a buffer.
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
