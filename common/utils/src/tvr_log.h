// tvr_log - the log call and the debug trace
//
// tvr_log(level, code, ...) writes one record: the catalog text of code
// (tvr_messages.h) is the format, the arguments follow. Levels are syslog
// severities (TVR_LOG_ALERT 1 .. TVR_LOG_DEBUG 7, tvr_log_levels.h, which
// this header includes for its callers); a record is dropped when
// level > the shared threshold (signed). An unknown code is reported instead as
// level 3, code 1003 "Internal logging error.  Error code: %d." with the code as
// argument, even when its own level would have been dropped. tvr_vlog is the
// same with a va_list. tvr_log also notes the code of a record of level 3 or
// worse in the calling thread's tvr_shared_thread_error when that is still 0
// (shareddata/tvrshareddata.h), before the threshold test.
//
// tvr_log_trace(file, line, function, format, ...) writes a debug record (level
// 7, no code) "[file:line:function] message" ("[file:line] message" when
// function is null); nothing when the threshold is below 7 or format is null.
// file and function are taken as text (a '%' in them is not a conversion); the
// prefix and the caller's format together are cut to 1023 characters.
//
// Neither call reports failure or allocates. Both may be called from any thread
// at any time; they read the shared settings (shareddata/tvrshareddata.h) without
// locking and the file sink serialises writes under the record's lock
// (tvr_log_write.h has the record writer, tvr_log_settings.h the settings).
#ifndef COMMON_UTILS_SRC_TVR_LOG_H
#define COMMON_UTILS_SRC_TVR_LOG_H

#include <stdarg.h>
#include <stdint.h>

#include "tvr_log_levels.h"

#ifdef __cplusplus
extern "C" {
#endif

void tvr_log(int level, uint32_t code, ...);
void tvr_vlog(int level, uint32_t code, va_list args);
void tvr_log_trace(const char *file, unsigned line, const char *function, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
