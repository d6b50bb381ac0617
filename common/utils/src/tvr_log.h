// tvr_log - the log call, the debug trace and the message catalog
//
// tvr_log(level, code, ...) writes one record: the catalog text of code is the
// format, the arguments follow. Levels are syslog severities (TVR_LOG_ALERT 1 ..
// TVR_LOG_DEBUG 7); a record is dropped when level > the shared threshold. An
// unknown code is reported instead as level 3, code 1003 "Internal logging error.
// Error code: %d." with the code as argument (even when its level would drop it).
//
// tvr_log_trace(file, line, function, format, ...) writes a debug record (level 7,
// no code) "[file:line:function] message" ("[file:line] message" when function is
// null); nothing when the threshold is below 7 or format is null. file and
// function are taken as text (a '%' in them is not a conversion).
//
// Neither call reports failure. Both may be called from any thread at any time;
// they read the shared settings (host/tvrshareddata.h) without locking and the
// file sink serialises writes under the record's lock.
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
void tvr_log_trace(const char *file, unsigned line, const char *function, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
