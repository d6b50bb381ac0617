// Tests of the log settings (tvr_log_settings): destinations, both settings
// forms, rolling fields, the log path split and their failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "test_support.h"
#include "tvr_log.h"
#include "tvr_log_settings.h"
#include "tvrshareddata.h"

using hdrw_test::EventCapture;
using hdrw_test::FakeClock;
using hdrw_test::HookGuard;
using hdrw_test::TempDir;

namespace {

TvrLogSettings &settings() { return tvr_shared_log_settings; }

// The messages of the captured event-log lines, without prefix and newline.
std::vector<std::string> event_messages(const EventCapture &events) {
  std::vector<std::string> out;
  for (const std::string &line : events.lines()) {
    hdrw_test::LogRecord r;
    EXPECT_TRUE(hdrw_test::parse_log_line(line, &r)) << line;
    out.push_back(std::to_string(r.code) + " " + r.message);
  }
  return out;
}

class TvrLogSettingsTest : public ::testing::Test {
 protected:
  TvrLogSettingsTest() { FakeClock::install(1796615044); }
  ~TvrLogSettingsTest() override { hdrw_test::quiet_log(); }
  HookGuard hooks_;
  EventCapture events_;
  TempDir dir_;
};

}  // namespace

TEST_F(TvrLogSettingsTest, ConfigureStderrWithoutRolling) {
  tvr_log_apply_settings("stderr", "ALL,0,0|DAY|0");
  tvr_log_configure("stderr", "7", nullptr, nullptr, nullptr);
  EXPECT_EQ(settings().threshold, 7);
  EXPECT_EQ(settings().stream, stderr);
  EXPECT_EQ(settings().roll_seconds, 0);
  EXPECT_EQ(settings().period_start, 0);
  EXPECT_NE(settings().initialised, 0);
}

TEST_F(TvrLogSettingsTest, FieldFormFillsTheRollingFields) {
  std::string path = dir_.file("filter.log");
  tvr_log_apply_settings(path.c_str(), "ALL,6,2|HOUR|5");
  EXPECT_EQ(settings().threshold, 6);
  EXPECT_EQ(settings().roll_count, 2);
  EXPECT_STREQ(settings().roll_unit, "HOUR");
  EXPECT_EQ(settings().keep_count, 5);
  EXPECT_EQ(settings().roll_seconds, 7200);
  EXPECT_EQ(settings().period_start, 1796615044);
  EXPECT_STREQ(settings().path, path.c_str());
  EXPECT_STREQ(settings().directory, dir_.path().c_str());
  EXPECT_STREQ(settings().base_name, "filter.log");
  EXPECT_STREQ(settings().extension, ".log");
  ASSERT_NE(settings().stream, nullptr);
  EXPECT_NE(settings().stream, stderr);
  EXPECT_TRUE(hdrw_test::file_exists(path));
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(TvrLogSettingsTest, SettingsTexts) {
  struct Row {
    const char *text;
    int threshold;
    int roll_count;
    const char *roll_unit;
    int keep_count;
    int roll_seconds;
  } rows[] = {
      // Each row starts from threshold 2, 9 DAY, keep 8.
      {"TVR_LOG_ALERT", 1, 9, "DAY", 8, 9 * 86400},
      {"TVR_LOG_ERR", 3, 9, "DAY", 8, 9 * 86400},
      {"TVR_LOG_ERROR", 3, 9, "DAY", 8, 9 * 86400},
      {"TVR_LOG_WARNING", 4, 9, "DAY", 8, 9 * 86400},
      {"TVR_LOG_NOTICE", 5, 9, "DAY", 8, 9 * 86400},
      {"TVR_LOG_INFO", 6, 9, "DAY", 8, 9 * 86400},
      {"TVR_LOG_DEBUG", 7, 9, "DAY", 8, 9 * 86400},
      {"TVR_LOG_BOGUS", 2, 9, "DAY", 8, 9 * 86400},
      {"tvr_log_debug", 2, 9, "DAY", 8, 9 * 86400},  // field form without a threshold
      {"tvr,log_debug", 0, 9, "DAY", 8, 9 * 86400},  // a threshold that is no number
      {nullptr, 5, 9, "DAY", 8, 9 * 86400},
      {"ALL,6", 6, 9, "DAY", 8, 9 * 86400},
      {"ALL,6,3", 6, 3, "DAY", 8, 3 * 86400},
      {"ALL,6,3|minute", 6, 3, "minute", 8, 180},
      {"ALL,4,1|Hours|0", 4, 1, "Hours", 0, 3600},
      {"ALL, 5x,  7|DAYS|-2", 5, 7, "DAYS", -2, 7 * 86400},
      {"ALL,6,2|WEEK|1", 6, 2, "WEEK", 1, 0},
      {"ALL,6,0|DAY|1", 6, 0, "DAY", 1, 0},
      {"ALL,6,-1|DAY|1", 6, -1, "DAY", 1, 0},
      {"ALL,7,1|MINUTESXXXXXXXXX|3", 7, 1, "MINUTESXXX", 3, 60},
      {"ALL,7,100000|DAY|1", 7, 100000, "DAY", 1, 2147483647},
      // Each field ends only at its own delimiter.
      {"ALL,6|2|HOUR|5", 6, 9, "DAY", 8, 9 * 86400},
      {"ALL,6,2,HOUR,5", 6, 2, "DAY", 8, 2 * 86400},
      {"ALL,6,2|HOUR|5|7", 6, 2, "HOUR", 5, 7200},
      {"ALL,6,2|HOUR| 5 9", 6, 2, "HOUR", 5, 7200},
      {"ALL", 2, 9, "DAY", 8, 9 * 86400},
      {"", 2, 9, "DAY", 8, 9 * 86400},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text != nullptr ? row.text : "(null)");
    tvr_log_apply_settings("stderr", "ALL,2,9|DAY|8");
    tvr_log_apply_settings("stderr", row.text);
    EXPECT_EQ(settings().threshold, row.threshold);
    EXPECT_EQ(settings().roll_count, row.roll_count);
    EXPECT_STREQ(settings().roll_unit, row.roll_unit);
    EXPECT_EQ(settings().keep_count, row.keep_count);
    EXPECT_EQ(settings().roll_seconds, row.roll_seconds);
  }
}

TEST_F(TvrLogSettingsTest, FieldTextWithoutMemoryIsLoggedAndChangesNothing) {
  tvr_log_apply_settings("syslog", "ALL,7,0|DAY|0");
  events_.clear();
  hdrw_test::fault_loop([] {
    tvr_log_apply_settings("syslog", "ALL,6,2|HOUR|5");
    if (settings().threshold != 6) {
      EXPECT_EQ(settings().threshold, 7);  // the failed parse left the threshold
      EXPECT_EQ(settings().roll_seconds, 0);
    }
  });
  EXPECT_EQ(
      event_messages(events_),
      (std::vector<std::string>{"10001 Malloc error while attempting to allocate 15 bytes."}));
  EXPECT_EQ(settings().threshold, 6);
  EXPECT_EQ(settings().roll_seconds, 7200);
}

TEST_F(TvrLogSettingsTest, ConfigureComposesTheSettingsText) {
  std::string path = dir_.file("a.log");
  tvr_log_configure(path.c_str(), "6", "2", "HOUR", "5");
  EXPECT_EQ(settings().roll_seconds, 7200);
  EXPECT_EQ(settings().keep_count, 5);
  tvr_log_configure(path.c_str(), "4", "3", nullptr, "1");  // rolling fields ignored
  EXPECT_EQ(settings().threshold, 4);
  EXPECT_EQ(settings().roll_count, 2);
  EXPECT_EQ(settings().keep_count, 5);
  tvr_log_configure(path.c_str(), nullptr, nullptr, nullptr, nullptr);  // TVR_LOG_NOTICE
  EXPECT_EQ(settings().threshold, 5);
}

TEST_F(TvrLogSettingsTest, SystemLogDestinationsAndFacilities) {
  tvr_log_apply_settings("syslog|local3", "TVR_LOG_DEBUG");
  EXPECT_EQ(settings().stream, nullptr);
  EXPECT_EQ(tvr_log_facility(), LOG_LOCAL3);
  tvr_log_apply_settings("syslog|foo", "TVR_LOG_DEBUG");
  EXPECT_EQ(tvr_log_facility(), LOG_LOCAL3);
  EXPECT_EQ(event_messages(events_),
            (std::vector<std::string>{"2070 Invalid syslog facility 'foo'.  Using 'mail'."}));
  EXPECT_EQ(events_.events()[0].type, 2);
  struct Row {
    const char *destination;
    int facility;
  } rows[] = {
      {"syslog|kern", LOG_KERN},     {"syslog|user", LOG_USER},   {"syslog|daemon", LOG_DAEMON},
      {"syslog|auth", LOG_AUTH},     {"syslog|lpr", LOG_LPR},     {"syslog|news", LOG_NEWS},
      {"syslog|uucp", LOG_UUCP},     {"syslog|cron", LOG_CRON},   {"syslog|local0", LOG_LOCAL0},
      {"syslog|local7", LOG_LOCAL7}, {"syslog|Mail", LOG_LOCAL7}, {"syslog", LOG_LOCAL7},
      {"syslogd", LOG_LOCAL7},       {"syslog|mail", LOG_MAIL}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.destination);
    tvr_log_apply_settings(row.destination, "TVR_LOG_DEBUG");
    EXPECT_EQ(tvr_log_facility(), row.facility);
    EXPECT_EQ(settings().stream, nullptr);
  }
  tvr_log_apply_settings(nullptr, "TVR_LOG_DEBUG");
  EXPECT_EQ(settings().stream, nullptr);
  tvr_log_apply_settings("", "TVR_LOG_DEBUG");
  EXPECT_EQ(settings().stream, nullptr);
}

TEST_F(TvrLogSettingsTest, FileWithoutSeparatorIsReportedAndStillOpened) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  tvr_log_apply_settings("stderr", "ALL,7,0|DAY|0");
  snprintf(settings().base_name, TVR_LOG_PATH_MAX, "%s", "stale.log");
  tvr_log_apply_settings("x.log", "TVR_LOG_DEBUG");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(event_messages(events_),
            (std::vector<std::string>{
                "10098 File path is malformed: \"x.log\"",
                "10081 Could not split the log file x.log into the directory, log file name and "
                "extension.",
            }));
  EXPECT_NE(settings().stream, nullptr);
  EXPECT_TRUE(hdrw_test::file_exists(dir_.file("x.log")));
  EXPECT_STREQ(settings().base_name, "stale.log");  // name fields left as they were
}

TEST_F(TvrLogSettingsTest, UnopenableFileSendsRecordsToTheSystemLog) {
  std::string path = dir_.file("missing/x.log");
  tvr_log_apply_settings(path.c_str(), "TVR_LOG_DEBUG");
  EXPECT_EQ(settings().stream, nullptr);
  EXPECT_EQ(event_messages(events_),
            (std::vector<std::string>{"10056 Unable to open file: " + path + ".",
                                      "10070 errno: 2: No such file or directory."}));
  tvr_log(3, 29024);
  EXPECT_EQ(events_.events().size(), 3u);
}

// Former bug: a destination of 260 characters or more overflowed the path field.
TEST_F(TvrLogSettingsTest, LongDestinationIsCutAndTerminated) {
  std::string dest = dir_.path() + "/" + std::string(400, 'd');
  tvr_log_apply_settings(dest.c_str(), "TVR_LOG_DEBUG");
  std::string cut = dest.substr(0, TVR_LOG_PATH_MAX - 1);
  EXPECT_EQ(std::string(settings().path), cut);
  EXPECT_EQ(std::string(settings().base_name), cut.substr(dir_.path().size() + 1));
  EXPECT_STREQ(settings().directory, dir_.path().c_str());
  EXPECT_TRUE(hdrw_test::file_exists(cut));
  tvr_log(3, 29024);
  EXPECT_NE(hdrw_test::read_file(cut).find("[29024] Cannot open rule file."), std::string::npos);
}

TEST_F(TvrLogSettingsTest, PeriodStartsAtAnOlderModificationTime) {
  std::string path = dir_.file("a.log");
  hdrw_test::write_file(path, "old\n");
  struct Row {
    int64_t mtime;
    int64_t want;
  } rows[] = {{1796600000, 1796600000}, {1796700000, 1796615044}};
  for (const Row &row : rows) {
    struct utimbuf t = {(time_t)row.mtime, (time_t)row.mtime};
    ASSERT_EQ(utime(path.c_str(), &t), 0);
    tvr_log_apply_settings(path.c_str(), "ALL,7,1|DAY|0");
    EXPECT_EQ(settings().period_start, row.want);
  }
  tvr_log_apply_settings("stderr", "ALL,7,1|DAY|0");
  EXPECT_EQ(settings().period_start, 1796615044);
}

TEST_F(TvrLogSettingsTest, ReapplyingKeepsRenameFailuresAndClosesTheFile) {
  std::string path = dir_.file("a.log");
  tvr_log_apply_settings(path.c_str(), "TVR_LOG_DEBUG");
  settings().rename_failures = 3;
  tvr_log_apply_settings("stderr", "TVR_LOG_DEBUG");
  EXPECT_EQ(settings().rename_failures, 3);
  EXPECT_EQ(settings().stream, stderr);
  settings().rename_failures = 0;
  // Standard error is never closed by a new application.
  tvr_log_apply_settings(path.c_str(), "TVR_LOG_DEBUG");
  EXPECT_NE(fcntl(2, F_GETFD), -1);
}

TEST(TvrConfigSetLogPath, SplitsIntoDirectoryNameAndExtension) {
  struct Row {
    const char *path;
    const char *directory;
    const char *base_name;
    const char *extension;
  } rows[] = {
      {"/var/log/filter.log", "/var/log", "filter.log", ".log"},
      {"/var/log/filter", "/var/log", "filter", ""},
      {"/var/log.d/filter", "/var/log.d", "filter", ""},
      {"/var/log/my.app.log", "/var/log", "my.app.log", ".log"},
      {"/var/log/", "/var/log", "", ""},
      {"logs/a.", "logs", "a.", "."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(tvr_config_set_log_path(row.path), 0u);
    EXPECT_STREQ(tvr_shared_log_settings.directory, row.directory);
    EXPECT_STREQ(tvr_shared_log_settings.base_name, row.base_name);
    EXPECT_STREQ(tvr_shared_log_settings.extension, row.extension);
  }
}

TEST(TvrConfigSetLogPath, FailuresAreLoggedAndChangeNothing) {
  HookGuard hooks;
  EventCapture events;
  tvr_log_apply_settings("syslog", "TVR_LOG_DEBUG");
  ASSERT_EQ(tvr_config_set_log_path("/var/log/keep.log"), 0u);
  EXPECT_EQ(tvr_config_set_log_path("/x.log"), 1u);  // the first character is never a separator
  EXPECT_EQ(tvr_config_set_log_path("x.log"), 1u);
  EXPECT_STREQ(tvr_shared_log_settings.base_name, "keep.log");
  std::vector<std::string> want = {"10098 File path is malformed: \"/x.log\"",
                                   "10098 File path is malformed: \"x.log\""};
  EXPECT_EQ(event_messages(events), want);
  events.clear();
  uint64_t n = hdrw_test::fault_loop([] {
    uint32_t rc = tvr_config_set_log_path("/tmp/other.log");
    if (rc != 0) {
      EXPECT_STREQ(tvr_shared_log_settings.base_name, "keep.log");
    }
  });
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(
      event_messages(events),
      (std::vector<std::string>{"10001 Malloc error while attempting to allocate 15 bytes."}));
  EXPECT_STREQ(tvr_shared_log_settings.base_name, "other.log");
  hdrw_test::quiet_log();
}

TEST(TvrLogIsSpecialDestination, SystemLogAndStderrOnly) {
  struct Row {
    const char *destination;
    int want;
  } rows[] = {{nullptr, 1},   {"", 1},       {"syslog", 1},  {"syslog|local1", 1},
              {"syslogx", 1}, {"stderr", 1}, {"stderr2", 0}, {"/var/log/a.log", 0},
              {"a.log", 0},   {"Syslog", 0}, {"STDERR", 0}};
  for (const Row &row : rows) {
    EXPECT_EQ(tvr_log_is_special_destination(row.destination), row.want)
        << (row.destination != nullptr ? row.destination : "(null)");
  }
}
