// log_capture - reading back what the system logs, for every suite
//
// LogCapture cap(threshold) points the process-wide log settings at a log file
// "test.log" in a fresh temporary directory, at the given threshold (default
// TVR_LOG_DEBUG: everything), with no rolling; LogCapture(threshold, roll_count,
// roll_unit, keep_count) configures rolling as well. On destruction it restores
// quiet settings (standard error, threshold 0, no rolling: nothing is written)
// and removes the directory. Only one LogCapture may live at a time; create it
// before starting threads that log.
//
//   hdrw_test::LogCapture cap;
//   ... code under test ...
//   EXPECT_TRUE(cap.contains(TVR_LOG_ERR, 10019, "Could not open file: /x."));
//   EXPECT_EQ(cap.messages(29029), (std::vector<std::string>{"Rules loaded = 3, regexs loaded
//   = 4."}));
//
// lines(): every line of the current log file so far, without the newline (the
// file is flushed after every record). records(): the same lines parsed into
// LogRecord. messages(code): the message texts of the records with that code
// (TVR_LOG_NO_CODE for traces), in order. contains(level, code, message): whether
// a record with that level's name, code and message exists. clear() empties the
// file; later records are appended to it as usual. dir() is the temporary
// directory (rolled files land there), path() the log file.
//
// parse_log_line(line, &record) splits "stamp (LEVEL:pid.tid): [code] message"
// (file and standard-error lines) and "[Talvora] (LEVEL:pid.tid): [code] message"
// (event-log lines; stamp is then "[Talvora]"); a trailing newline is ignored,
// code is -1 when the line has no code field. false for any other shape.
//
// EventCapture events: sets the event reporter hook (tlvpr_hooks.report_event)
// for its lifetime, so event-log records (settings pointing at the system log,
// or the file sink's rename and deletion reports) are collected instead of going
// to syslog; events() returns them in order, lines() only their texts. The
// previous hook is restored on destruction. Thread-safe collection; one
// EventCapture at a time.
//
// quiet_log() applies the quiet settings that LogCapture restores.
//
// TzGuard tz("Europe/Berlin") sets the local time zone (TZ, then tzset) for its
// lifetime and restores the previous one; time stamps and log rolling follow it.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H
#define TESTS_SUPPORT_LOG_CAPTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"
#include "tvr_log.h"

namespace hdrw_test {

struct LogRecord {
  std::string stamp;    // local time stamp, or "[Talvora]" for event-log lines
  std::string level;    // "ALERT", "ERROR", "WARNING", "NOTICE", "INFO" or "DEBUG"
  uint32_t pid = 0;     // process id
  uint32_t tid = 0;     // thread id
  int64_t code = -1;    // message code; -1 when the line has none
  std::string message;  // the text behind the prefix, without the newline
};

bool parse_log_line(const std::string &line, LogRecord *record);

class LogCapture {
 public:
  explicit LogCapture(int threshold = TVR_LOG_DEBUG);
  LogCapture(int threshold, int roll_count, const char *roll_unit, int keep_count);
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  const std::string &dir() const { return dir_.path(); }
  const std::string &path() const { return path_; }
  std::vector<std::string> lines() const;
  std::vector<LogRecord> records() const;
  std::vector<std::string> messages(uint32_t code) const;
  bool contains(int level, uint32_t code, const std::string &message) const;
  void clear();

 private:
  TempDir dir_;
  std::string path_;
};

struct EventRecord {
  int type = 0;           // 0 success, 1 error, 2 warning, 4 information
  int category = 0;       // message code / 1000
  uint32_t event_id = 0;  // 0x40000200, 0x80000201 or 0xC0000202
  std::string text;       // the whole line, newline included
};

class EventCapture {
 public:
  EventCapture();
  ~EventCapture();
  EventCapture(const EventCapture &) = delete;
  EventCapture &operator=(const EventCapture &) = delete;

  std::vector<EventRecord> events() const;
  std::vector<std::string> lines() const;
  void clear();

 private:
  void (*saved_)(int, int, uint32_t, const char *);
};

void quiet_log();

class TzGuard {
 public:
  explicit TzGuard(const char *zone);
  ~TzGuard();
  TzGuard(const TzGuard &) = delete;
  TzGuard &operator=(const TzGuard &) = delete;

 private:
  bool had_ = false;
  std::string saved_;
};

}  // namespace hdrw_test

#endif
