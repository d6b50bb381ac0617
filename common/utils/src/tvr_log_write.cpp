// tvr_log_write - both sinks build the whole line on the stack before anything
// is written, so the file sink holds the shared lock only for the roll check, one
// write and one flush. The shared stream and threshold are read and written with
// atomic operations: readers outside the lock only ever compare them. Tests:
// tests/tvr_log_test.cpp, tests/tvr_log_stress_test.cpp.
#include "tvr_log_write.h"

#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <atomic>

#include "tlv_str.h"
#include "tlvpr_format.h"
#include "tlvpr_hooks.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tlvpr_sync.h"
#include "tlvpr_syslog.h"
#include "tlvpr_time.h"
#include "tvr_log_levels.h"
#include "tvr_log_roll.h"
#include "tvr_status.h"
#include "tvrshareddata.h"

namespace {

constexpr const char *tvr_log_months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr size_t TVR_LOG_EVENT_PREFIX_MAX = 4096;  // output limit of the event-log prefix
constexpr size_t TVR_LOG_LINE_LIMIT = 4098;        // output limit of prefix plus message
constexpr const char *TVR_LOG_SOURCE = "Talvora";  // event source (system-log ident)
constexpr const char *TVR_LOG_STDERR_NOTICE =
    "*** could not write to log file, switching to stderr\n";

static_assert(TVR_LOG_LINE_LIMIT + 1 < TVR_LOG_LINE_MAX, "room for the newline and terminator");

// Event source: 0 not registered, 1 being registered, 2 registered.
std::atomic<int> tvr_log_source_state{0};
char tvr_log_source_name[64] = "Talvora";

// tvr_log_finish_line - formats the message behind the prefix in line and adds
// the newline; returns the line's length
size_t tvr_log_finish_line(char *line, const char *format, va_list args) {
  size_t plen = strlen(line);
  va_list copy;
  va_copy(copy, args);
  tlvpr_vsnprintf(line + plen, TVR_LOG_LINE_LIMIT - plen, format, copy);
  va_end(copy);
  size_t len = plen + strlen(line + plen);
  if (len == 0 || line[len - 1] != '\n') {
    line[len++] = '\n';
    line[len] = '\0';
  }
  return len;
}

// tvr_log_to_event_log - "[Talvora] (level:pid.tid): [code] message" to the reporter
void tvr_log_to_event_log(const char *format, va_list args, const char *level_name, int type,
                          uint32_t pid, uint32_t tid, uint32_t code) {
  char line[TVR_LOG_LINE_MAX];
  if (code == TVR_LOG_NO_CODE) {
    tlvpr_snprintf(line, TVR_LOG_EVENT_PREFIX_MAX, "[Talvora] (%s:%u.%u): ", level_name, pid, tid);
  } else {
    tlvpr_snprintf(line, TVR_LOG_EVENT_PREFIX_MAX, "[Talvora] (%s:%u.%u): [%u] ", level_name, pid,
                   tid, code);
  }
  tvr_log_finish_line(line, format, args);
  tvr_report_event(type, (int32_t)code / 1000, tvr_log_event_id(type), line);
}

// tvr_log_event_text - an already composed text (no conversions left) to the event log
void tvr_log_event_text(const char *level_name, uint32_t pid, uint32_t tid, uint32_t code,
                        const char *format, ...) {
  va_list args;
  va_start(args, format);
  tvr_log_to_event_log(format, args, level_name, TVR_EVENT_ERROR, pid, tid, code);
  va_end(args);
}

// tvr_log_write_stderr - a line to standard error; failures are ignored, and
// the stream's error indicator is cleared so that a passing fault of standard
// error is not taken later for a failed write of a record
void tvr_log_write_stderr(const char *text, size_t len) {
  fwrite(text, 1, len, stderr);
  fflush(stderr);
  clearerr(stderr);
}

// tvr_log_after_roll - counts and reports a failed roll, runs the cleanup after a
// roll that renamed the file; called under the lock
void tvr_log_after_roll(TvrLogSettings *s, int error, int renamed, const char *level_name,
                        uint32_t pid, uint32_t tid) {
  char report[TVR_LOG_REPORT_MAX];
  if (error != 0) {
    s->rename_failures++;
    if (__atomic_load_n(&s->stream, __ATOMIC_RELAXED) == nullptr || s->rename_failures >= 4) {
      tlvpr_snprintf(report, sizeof report,
                     "Rename of log file failed with errno %d. Logs will continue to be written "
                     "to the file specified in the config.",
                     error);
      tvr_log_event_text(level_name, pid, tid, (uint32_t)error, "%s", report);
      s->rename_failures = 0;
    }
  }
  if (s->keep_count > 0 && renamed) {
    uint32_t status = TVR_CLEANUP_NO_MEMORY;
    char *copy = tlvpr_strdup(s->path);
    if (copy != nullptr) {
      char *directory = nullptr;
      char *name = nullptr;
      tlv_split_path(copy, &directory, &name);
      status = tvr_log_cleanup(directory, name);
      tlvpr_free(copy);
    }
    if (status != 0) {
      tlvpr_snprintf(report, sizeof report,
                     "Deletion of some or all of the old logs failed with errno %d. Undeleted "
                     "files will remain in the log directory.",
                     (int)status);
      tvr_log_event_text(level_name, pid, tid, status, "%s", report);
    }
  }
}

// tvr_log_to_file - "stamp (level:pid.tid): [code] message" to the shared stream
void tvr_log_to_file(const char *format, va_list args, const char *level_name, uint32_t pid,
                     uint32_t tid, const char *stamp, uint32_t code) {
  char line[TVR_LOG_LINE_MAX];
  if (code == TVR_LOG_NO_CODE) {
    tlvpr_snprintf(line, TVR_LOG_LINE_LIMIT, "%s (%s:%u.%u): ", stamp, level_name, pid, tid);
  } else {
    tlvpr_snprintf(line, TVR_LOG_LINE_LIMIT, "%s (%s:%u.%u): [%u] ", stamp, level_name, pid, tid,
                   code);
  }
  size_t len = tvr_log_finish_line(line, format, args);

  TvrLogSettings *s = &tvr_shared_log_settings;
  // A record whose lock was never made (a stream set by hand) is written unlocked.
  bool locked = __atomic_load_n(&s->initialised, __ATOMIC_ACQUIRE) != 0;
  if (locked) {
    tlvpr_lock(&s->lock);
  }
  FILE *stream = __atomic_load_n(&s->stream, __ATOMIC_RELAXED);
  if (stream == nullptr) {
    tvr_log_write_stderr(line, len);
  } else {
    // Rolling applies to the log file only: standard error is never closed.
    if (s->roll_seconds > 0 && stream != stderr) {
      int renamed = 0;
      int error = tvr_log_roll(&renamed);
      tvr_log_after_roll(s, error, renamed, level_name, pid, tid);
      stream = __atomic_load_n(&s->stream, __ATOMIC_RELAXED);
    }
    if (stream != nullptr) {
      fwrite(line, 1, len, stream);
      // The stream is buffered: a failed write shows at the latest at the flush.
      fflush(stream);
      if (stream == stderr) {
        // Standard error is the last resort: its write errors are ignored. The
        // indicator is sticky, and left set it would make every later record
        // write the switch notice and its line twice.
        clearerr(stderr);
      } else if (ferror(stream)) {
        fclose(stream);
        __atomic_store_n(&s->stream, stderr, __ATOMIC_RELAXED);
        fputs(TVR_LOG_STDERR_NOTICE, stderr);
        tvr_log_write_stderr(line, len);
      }
    }
  }
  if (locked) {
    tlvpr_unlock(&s->lock);
  }
}

// tvr_log_source_open - registers the event source once per process
void tvr_log_source_open(void) {
  int state = tvr_log_source_state.load(std::memory_order_acquire);
  while (state != 2) {
    if (state == 0 &&
        tvr_log_source_state.compare_exchange_weak(state, 1, std::memory_order_acquire)) {
      tlvpr_syslog_open(tvr_log_source_name, tvr_log_facility());
      tvr_log_source_state.store(2, std::memory_order_release);
      return;
    }
    state = tvr_log_source_state.load(std::memory_order_acquire);
  }
}

}  // namespace

// tvr_log_write - threshold test and choice of sink
void tvr_log_write(const char *format, va_list args, int level, uint32_t code) {
  TvrLogSettings *s = &tvr_shared_log_settings;
  if (level > __atomic_load_n(&s->threshold, __ATOMIC_RELAXED)) {
    return;
  }
  const char *level_name = tvr_log_level_name(level);
  uint32_t tid = tlvpr_thread_id();
  uint32_t pid = tlvpr_getpid();
  if (__atomic_load_n(&s->stream, __ATOMIC_RELAXED) == nullptr) {
    tvr_log_to_event_log(format, args, level_name, tvr_log_event_type(level), pid, tid, code);
    return;
  }
  char stamp[TVR_LOG_TIMESTAMP_MAX];
  tvr_log_timestamp(stamp, sizeof stamp);
  tvr_log_to_file(format, args, level_name, pid, tid, stamp, code);
}

// tvr_log_timestamp - local time of now, "7 Dec 2026 03:44:04"
void tvr_log_timestamp(char *out, size_t size) {
  TlvprTm tm = {};
  tlvpr_localtime(tlvpr_time(), &tm);
  const char *month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tvr_log_months[tm.tm_mon] : "???";
  tlvpr_snprintf(out, size, "%u %s %u %.02u:%.02u:%.02u", (unsigned)tm.tm_mday, month,
                 (unsigned)tm.tm_year, (unsigned)tm.tm_hour, (unsigned)tm.tm_min,
                 (unsigned)tm.tm_sec);
}

// tvr_log_event_type - event type of a level
int tvr_log_event_type(int level) {
  switch (level) {
    case 1:
    case 3:
      return TVR_EVENT_ERROR;
    case 4:
      return TVR_EVENT_WARNING;
    case 5:
      return TVR_EVENT_SUCCESS;
    default:
      return TVR_EVENT_INFORMATION;
  }
}

// tvr_log_event_id - event id of an event type
uint32_t tvr_log_event_id(int type) {
  switch (type) {
    case TVR_EVENT_SUCCESS:
    case TVR_EVENT_INFORMATION:
      return 0x40000200u;
    case TVR_EVENT_WARNING:
      return 0x80000201u;
    default:
      return 0xC0000202u;
  }
}

// tvr_report_event - the reporter hook, or the system log at the type's severity
void tvr_report_event(int type, int category, uint32_t event_id, const char *text) {
  void (*hook)(int, int, uint32_t, const char *) = tlvpr_hooks.report_event;
  if (hook != nullptr) {
    hook(type, category, event_id, text);
    return;
  }
  tvr_log_source_open();
  int severity = LOG_INFO;
  switch (type) {
    case TVR_EVENT_ERROR:
      severity = LOG_ERR;
      break;
    case TVR_EVENT_WARNING:
      severity = LOG_WARNING;
      break;
    case TVR_EVENT_SUCCESS:
      severity = LOG_NOTICE;
      break;
    default:
      break;
  }
  tlvpr_syslog_write(tvr_log_facility() | severity, text);
}

// tvr_log_toggle_event_source - deregisters the event source when it is
// registered, otherwise registers it under name (cut to 63 characters); not for
// use while other threads log to the event log
void tvr_log_toggle_event_source(const char *name) {
  if (tvr_log_source_state.load(std::memory_order_acquire) == 2) {
    tlvpr_syslog_close();
    tlvpr_snprintf(tvr_log_source_name, sizeof tvr_log_source_name, "%s", TVR_LOG_SOURCE);
    tvr_log_source_state.store(0, std::memory_order_release);
    return;
  }
  tlvpr_snprintf(tvr_log_source_name, sizeof tvr_log_source_name, "%s",
                 name != nullptr && *name != '\0' ? name : TVR_LOG_SOURCE);
  tvr_log_source_open();
}
