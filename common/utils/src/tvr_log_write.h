// tvr_log_write - the record writer and its two sinks: a stream (log file or
// standard error) and the event log (the system log)
//
// tvr_log_write(format, args, level, code) drops the record when level > the
// shared threshold (signed); otherwise it builds one line and writes it: to the
// event log when the shared stream is null, else to the stream through the file
// sink. code TVR_LOG_NO_CODE (-1) means the line carries no code field.
//
// Lines. Stream: "%s (%s:%u.%u): [%u] message\n" (time stamp, level name,
// process id, thread id, code; without "[%u] " for no code). Event log:
// "[Talvora] (%s:%u.%u): [%u] message\n". The line is built in a 4100-byte stack
// buffer: the prefix is cut at 4096 (event log) or 4098 (stream) bytes, the
// message behind it so that prefix and message hold at most 4097 characters,
// and a newline is appended unless the line already ends in one.
//
// File sink, under the shared record's lock: the roll check (tvr_log_roll.h)
// when roll_seconds > 0 and the stream is the log file; a failed roll counts in
// rename_failures and is reported to the event log at every fourth failure, or
// at once when the log file could not be reopened: "Rename of log file failed
// with errno %d. Logs will continue to be written to the file specified in the
// config." (the error number as the code field). After a roll that renamed the
// file and keep_count > 0 the cleanup runs; a non-zero status is reported as
// "Deletion of some or all of the old logs failed with errno %d. Undeleted files
// will remain in the log directory.". Then the line is written in one write and
// flushed; when the log file reports an error, the sink closes it, switches the
// shared stream to standard error, writes "*** could not write to log file,
// switching to stderr\n" and the line there. A stream found null under the lock
// sends the line to standard error. Nothing is returned; failed writes to
// standard error are ignored (its error indicator is cleared, so a passing fault
// neither repeats lines nor the notice later).
//
// tvr_log_timestamp(out, size) writes the local time of now as
// "%u %s %u %.02u:%.02u:%.02u" (day, month abbreviation, full year, hour,
// minute, second), e.g. "7 Dec 2026 03:44:04".
//
// tvr_log_event_type(level): error (1) for 1 and 3, warning (2) for 4, success
// (0) for 5, information (4) otherwise. tvr_log_event_id(type): 0x40000200 for
// success and information, 0x80000201 for warning, 0xC0000202 otherwise.
//
// tvr_report_event(type, category, event_id, text) hands one event-log line to
// the reporter hook (tlvpr_hooks.report_event) when set; otherwise it connects to
// the system log once per process as "Talvora" with the configured facility
// (tvr_log_facility, tvr_log_levels.h) and logs text at LOG_ERR, LOG_WARNING,
// LOG_NOTICE or LOG_INFO for error, warning, success and information.
//
// tvr_log_toggle_event_source(name) deregisters the system-log source when it
// is registered, else registers it as name (cut to 63 characters; null or
// empty: "Talvora"). Not for use while other threads log to the event log.
//
// Thread rules: any thread at any time. threshold and stream are read without
// the lock; the event-log sink takes no lock. No heap memory is used except the
// path copy of a cleanup.
#ifndef COMMON_UTILS_SRC_TVR_LOG_WRITE_H
#define COMMON_UTILS_SRC_TVR_LOG_WRITE_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  TVR_EVENT_SUCCESS = 0,
  TVR_EVENT_ERROR = 1,
  TVR_EVENT_WARNING = 2,
  TVR_EVENT_INFORMATION = 4
};

enum {
  TVR_LOG_LINE_MAX = 4100,       // record line buffer
  TVR_LOG_TIMESTAMP_MAX = 4096,  // time stamp buffer
  TVR_LOG_REPORT_MAX = 260       // rename and deletion report texts
};

void tvr_log_write(const char *format, va_list args, int level, uint32_t code);
void tvr_log_timestamp(char *out, size_t size);
int tvr_log_event_type(int level);
uint32_t tvr_log_event_id(int type);
void tvr_report_event(int type, int category, uint32_t event_id, const char *text);
void tvr_log_toggle_event_source(const char *name);

#ifdef __cplusplus
}
#endif

#endif
