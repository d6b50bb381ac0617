// milter_log - the milter's own log lines
//
// milter_log(level, format, ...) formats with the C library's printf rules
// (64-bit counters, %zu and the like are fine) and writes the text as one record
// through the module's log settings and sinks (tvr_log_write), at level (1 to 7,
// dropped above the shared threshold) and without a catalog code: the milter's
// lines are the host's, not the module's. The text is cut at 2048 bytes. Any
// thread, at any time after the log settings were made; nothing is allocated.
//
// milter_reason(why, why_size, format, ...) writes one line of reason for a
// caller that reports a failure instead of logging it: formatted like
// milter_log, cut to why_size and terminated (nothing written when why is null
// or why_size is 0). It returns 1, the failure result of those callers.
#ifndef MILTER_MILTER_LOG_H
#define MILTER_MILTER_LOG_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void milter_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
int milter_reason(char *why, size_t why_size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif
