// log_capture - implementation of the log and event capture helpers (see the
// header). The captured events live in one process-wide list behind a mutex,
// because the reporter hook is a plain function pointer.
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>

#include "tlvpr_hooks.h"
#include "tvr_log_settings.h"

namespace hdrw_test {

namespace {

std::mutex g_events_mutex;
std::vector<EventRecord> g_events;

void capture_event(int type, int category, uint32_t event_id, const char *text) {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  g_events.push_back({type, category, event_id, text != nullptr ? text : ""});
}

// Reads "digits" at pos into value; advances pos. false when there is no digit.
bool read_number(const std::string &text, size_t *pos, uint64_t *value) {
  size_t start = *pos;
  uint64_t v = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9' && v < (1ull << 40)) {
    v = v * 10 + (uint64_t)(text[*pos] - '0');
    (*pos)++;
  }
  *value = v;
  return *pos > start;
}

void configure(const std::string &path, int threshold, int roll_count, const char *roll_unit,
               int keep_count) {
  std::string t = std::to_string(threshold);
  std::string count = std::to_string(roll_count);
  std::string keep = std::to_string(keep_count);
  tvr_log_configure(path.c_str(), t.c_str(), count.c_str(), roll_unit, keep.c_str());
}

}  // namespace

bool parse_log_line(const std::string &raw, LogRecord *record) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\n') {
    line.pop_back();
  }
  size_t open = line.find(" (");
  if (open == std::string::npos) {
    return false;
  }
  size_t colon = line.find(':', open + 2);
  if (colon == std::string::npos) {
    return false;
  }
  LogRecord r;
  r.stamp = line.substr(0, open);
  r.level = line.substr(open + 2, colon - open - 2);
  size_t pos = colon + 1;
  uint64_t pid = 0;
  uint64_t tid = 0;
  if (!read_number(line, &pos, &pid) || pos >= line.size() || line[pos] != '.') {
    return false;
  }
  pos++;
  if (!read_number(line, &pos, &tid) || line.compare(pos, 3, "): ") != 0) {
    return false;
  }
  pos += 3;
  r.pid = (uint32_t)pid;
  r.tid = (uint32_t)tid;
  size_t after = pos;
  uint64_t code = 0;
  if (pos < line.size() && line[pos] == '[') {
    size_t p = pos + 1;
    if (read_number(line, &p, &code) && line.compare(p, 2, "] ") == 0) {
      r.code = (int64_t)code;
      after = p + 2;
    }
  }
  r.message = line.substr(after);
  *record = r;
  return true;
}

LogCapture::LogCapture(int threshold) : LogCapture(threshold, 0, "DAY", 0) {}

LogCapture::LogCapture(int threshold, int roll_count, const char *roll_unit, int keep_count)
    : path_(dir_.file("test.log")) {
  configure(path_, threshold, roll_count, roll_unit, keep_count);
}

LogCapture::~LogCapture() { quiet_log(); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  std::ifstream in(path_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    out.push_back(line);
  }
  return out;
}

std::vector<LogRecord> LogCapture::records() const {
  std::vector<LogRecord> out;
  for (const std::string &line : lines()) {
    LogRecord r;
    if (parse_log_line(line, &r)) {
      out.push_back(r);
    } else {
      ADD_FAILURE() << "not a log line: " << line;
    }
  }
  return out;
}

std::vector<std::string> LogCapture::messages(uint32_t code) const {
  std::vector<std::string> out;
  int64_t want = code == TVR_LOG_NO_CODE ? -1 : (int64_t)code;
  for (const LogRecord &r : records()) {
    if (r.code == want) {
      out.push_back(r.message);
    }
  }
  return out;
}

bool LogCapture::contains(int level, uint32_t code, const std::string &message) const {
  int64_t want = code == TVR_LOG_NO_CODE ? -1 : (int64_t)code;
  for (const LogRecord &r : records()) {
    if (r.level == tvr_log_level_name(level) && r.code == want && r.message == message) {
      return true;
    }
  }
  return false;
}

void LogCapture::clear() { std::ofstream out(path_, std::ios::binary | std::ios::trunc); }

EventCapture::EventCapture() : saved_(tlvpr_hooks.report_event) {
  clear();
  tlvpr_hooks.report_event = capture_event;
}

EventCapture::~EventCapture() {
  tlvpr_hooks.report_event = saved_;
  clear();
}

std::vector<EventRecord> EventCapture::events() const {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  return g_events;
}

std::vector<std::string> EventCapture::lines() const {
  std::vector<std::string> out;
  for (const EventRecord &e : events()) {
    out.push_back(e.text);
  }
  return out;
}

void EventCapture::clear() {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  g_events.clear();
}

void quiet_log() { tvr_log_configure("stderr", "0", "0", "DAY", "0"); }

TzGuard::TzGuard(const char *zone) {
  const char *old = std::getenv("TZ");
  had_ = old != nullptr;
  saved_ = had_ ? old : "";
  setenv("TZ", zone, 1);
  tzset();
}

TzGuard::~TzGuard() {
  if (had_) {
    setenv("TZ", saved_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace hdrw_test
