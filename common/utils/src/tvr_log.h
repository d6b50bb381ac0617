// tvr_log - the log call, the debug trace and the level names
//
// tvr_log(level, code, ...) writes one record: the catalog text of code
// (tvr_messages.h) is the format, the arguments follow. Levels are syslog
// severities (TVR_LOG_ALERT 1 .. TVR_LOG_DEBUG 7); a record is dropped when
// level > the shared threshold (signed). An unknown code is reported instead as
// level 3, code 1003 "Internal logging error.  Error code: %d." with the code as
// argument, even when its own level would have been dropped. tvr_vlog is the
// same with a va_list. tvr_log also notes the code of a record of level 3 or
// worse in the calling thread's tvr_shared_thread_error when that is still 0
// (host/tvrshareddata.h), before the threshold test.
//
// tvr_log_trace(file, line, function, format, ...) writes a debug record (level
// 7, no code) "[file:line:function] message" ("[file:line] message" when
// function is null); nothing when the threshold is below 7 or format is null.
// file and function are taken as text (a '%' in them is not a conversion); the
// prefix and the caller's format together are cut to 1023 characters.
//
// tvr_log_level_name(level): "ALERT" 1, "ERROR" 3, "WARNING" 4, "NOTICE" 5,
// "INFO" 6, "DEBUG" for every other number. A static text.
//
// Neither call reports failure or allocates. Both may be called from any thread
// at any time; they read the shared settings (host/tvrshareddata.h) without
// locking and the file sink serialises writes under the record's lock
// (tvr_log_write.h has the record writer, tvr_log_settings.h the settings).
#ifndef COMMON_UTILS_SRC_TVR_LOG_H
#define COMMON_UTILS_SRC_TVR_LOG_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  TVR_LOG_ALERT = 1,
  TVR_LOG_ERR = 3,
  TVR_LOG_WARNING = 4,
  TVR_LOG_NOTICE = 5,
  TVR_LOG_INFO = 6,
  TVR_LOG_DEBUG = 7
};

#define TVR_LOG_NO_CODE 0xFFFFFFFFu

void tvr_log(int level, uint32_t code, ...);
void tvr_vlog(int level, uint32_t code, va_list args);
void tvr_log_trace(const char *file, unsigned line, const char *function, const char *format, ...);
const char *tvr_log_level_name(int level);

#ifdef __cplusplus
}
#endif

#endif
