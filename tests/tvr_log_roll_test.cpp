// Tests of log file rolling and cleanup (tvr_log_roll) through the file sink, in
// real temporary directories with a driven clock and a fixed time zone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "log_capture.h"
#include "test_support.h"
#include "tlvpr_mem.h"
#include "tlvpr_sync.h"
#include "tvr_log.h"
#include "tvr_log_roll.h"
#include "tvr_log_settings.h"
#include "tvrshareddata.h"

using hdrw_test::EventCapture;
using hdrw_test::FakeClock;
using hdrw_test::HookGuard;
using hdrw_test::LogCapture;
using hdrw_test::TempDir;
using hdrw_test::TzGuard;

namespace {

int64_t utc(int y, int mo, int d, int h, int mi) {
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  return (int64_t)timegm(&tm);
}

// Logs record n at time t: "Rules loaded = n, regexs loaded = 0."
void log_at(int64_t t, unsigned n) {
  FakeClock::set(t);
  tvr_log(6, 29029, n, 0u);
}

// The record numbers in a log file, in order.
std::vector<unsigned> numbers(const std::string &path) {
  std::vector<unsigned> out;
  std::string text = hdrw_test::read_file(path);
  size_t pos = 0;
  while ((pos = text.find("Rules loaded = ", pos)) != std::string::npos) {
    pos += 15;
    out.push_back((unsigned)std::stoul(text.substr(pos)));
  }
  return out;
}

using Files = std::map<std::string, std::vector<unsigned>>;

// Every file of dir with the record numbers it holds.
Files files_of(const std::string &dir) {
  Files out;
  for (const std::string &name : hdrw_test::list_dir(dir)) {
    out[name] = numbers(dir + "/" + name);
  }
  return out;
}

class TvrLogRoll : public ::testing::Test {
 protected:
  TvrLogRoll() : tz_("Europe/Berlin") {}
  ~TvrLogRoll() override { hdrw_test::quiet_log(); }
  HookGuard hooks_;
  TzGuard tz_;
};

}  // namespace

TEST_F(TvrLogRoll, PeriodsAlignOnLocalTime) {
  struct Row {
    const char *name;
    int count;
    const char *unit;
    int64_t start;
    std::vector<int64_t> times;  // record i+1 at times[i]
    Files want;
  } rows[] = {
      {"day at local midnight",
       1,
       "DAY",
       utc(2026, 12, 7, 9, 0),
       {utc(2026, 12, 7, 22, 59), utc(2026, 12, 7, 23, 1)},
       {{"test.log", {2}}, {"test.log202612070000.log", {1}}}},
      {"hour",
       1,
       "HOUR",
       utc(2026, 12, 7, 9, 0),
       {utc(2026, 12, 7, 9, 10), utc(2026, 12, 7, 9, 50), utc(2026, 12, 7, 10, 5)},
       {{"test.log", {3}}, {"test.log202612071000.log", {1, 2}}}},
      {"two hours on even hours",
       2,
       "hours",
       utc(2026, 12, 7, 8, 30),
       {utc(2026, 12, 7, 8, 40), utc(2026, 12, 7, 9, 5), utc(2026, 12, 7, 10, 59),
        utc(2026, 12, 7, 11, 0)},
       {{"test.log", {4}},
        {"test.log202612070800.log", {1}},
        {"test.log202612071000.log", {2, 3}}}},
      {"minute",
       1,
       "Minute",
       utc(2026, 12, 7, 9, 0),
       {utc(2026, 12, 7, 9, 0), utc(2026, 12, 7, 9, 0) + 59, utc(2026, 12, 7, 9, 1),
        utc(2026, 12, 7, 9, 3)},
       {{"test.log", {4}},
        {"test.log202612071000.log", {1, 2}},
        {"test.log202612071001.log", {3}}}},
      // Daylight saving begins on 29 March 2026 at 01:00 UTC.
      {"day across the spring change",
       1,
       "DAY",
       utc(2026, 3, 28, 11, 0),
       {utc(2026, 3, 28, 22, 50), utc(2026, 3, 28, 23, 30), utc(2026, 3, 29, 21, 30),
        utc(2026, 3, 29, 22, 30)},
       {{"test.log", {4}},
        {"test.log202603280000.log", {1}},
        {"test.log202603290000.log", {2, 3}}}},
      {"hour across the spring change",
       1,
       "HOUR",
       utc(2026, 3, 29, 0, 0),
       {utc(2026, 3, 29, 0, 30), utc(2026, 3, 29, 1, 10), utc(2026, 3, 29, 1, 50),
        utc(2026, 3, 29, 2, 5)},
       {{"test.log", {4}},
        {"test.log202603290100.log", {1}},
        {"test.log202603290300.log", {2, 3}}}},
      // Daylight saving ends on 25 October 2026 at 01:00 UTC.
      {"day across the autumn change",
       1,
       "DAY",
       utc(2026, 10, 24, 10, 0),
       {utc(2026, 10, 24, 18, 0), utc(2026, 10, 24, 22, 30), utc(2026, 10, 25, 22, 30),
        utc(2026, 10, 25, 23, 10)},
       {{"test.log", {4}},
        {"test.log202610240000.log", {1}},
        {"test.log202610250000.log", {2, 3}}}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    FakeClock::install(row.start);
    LogCapture cap(TVR_LOG_DEBUG, row.count, row.unit, 0);
    unsigned n = 1;
    for (int64_t t : row.times) {
      log_at(t, n++);
    }
    EXPECT_EQ(files_of(cap.dir()), row.want);
  }
}

TEST_F(TvrLogRoll, ExistingRolledNameKeepsLoggingInTheSameFile) {
  FakeClock::install(utc(2026, 12, 7, 9, 0));
  LogCapture cap(TVR_LOG_DEBUG, 1, "HOUR", 0);
  mkdir((cap.dir() + "/test.log202612071000.log").c_str(), 0700);
  log_at(utc(2026, 12, 7, 9, 10), 1);
  log_at(utc(2026, 12, 7, 10, 5), 2);   // name taken: no rename
  log_at(utc(2026, 12, 7, 10, 30), 3);  // the period moved on all the same
  log_at(utc(2026, 12, 7, 11, 1), 4);
  EXPECT_EQ(files_of(cap.dir()), (Files{{"test.log", {4}},
                                        {"test.log202612071000.log", {}},
                                        {"test.log202612071100.log", {1, 2, 3}}}));
  EXPECT_EQ(tvr_shared_log_settings.rename_failures, 0);
}

// Old files are deleted only after a roll that renamed the log; deletions that
// fail (here a directory of a matching name) are skipped.
TEST_F(TvrLogRoll, CleanupRunsOnlyAfterARename) {
  FakeClock::install(utc(2026, 12, 7, 9, 0));
  LogCapture cap(TVR_LOG_DEBUG, 1, "HOUR", 1);
  hdrw_test::write_file(cap.dir() + "/test.log202612060000.log", "");
  hdrw_test::write_file(cap.dir() + "/test.log202612060100.log", "");
  ASSERT_EQ(mkdir((cap.dir() + "/test.log202612071000.log").c_str(), 0700), 0);
  log_at(utc(2026, 12, 7, 9, 10), 1);
  log_at(utc(2026, 12, 7, 10, 5), 2);  // name taken: no rename, no cleanup
  EXPECT_EQ(hdrw_test::list_dir(cap.dir()).size(), 4u);
  log_at(utc(2026, 12, 7, 11, 1), 3);
  EXPECT_EQ(hdrw_test::list_dir(cap.dir()),
            (std::vector<std::string>{"test.log", "test.log202612071000.log",
                                      "test.log202612071100.log"}));
}

TEST_F(TvrLogRoll, FileLeftFromAnEarlierPeriodRollsAtTheFirstRecord) {
  TempDir dir;
  std::string path = dir.file("test.log");
  hdrw_test::write_file(path, "Rules loaded = 1, regexs loaded = 0.\n");
  struct utimbuf old = {(time_t)utc(2026, 12, 6, 15, 0), (time_t)utc(2026, 12, 6, 15, 0)};
  ASSERT_EQ(utime(path.c_str(), &old), 0);
  FakeClock::install(utc(2026, 12, 7, 9, 0));
  tvr_log_configure(path.c_str(), "7", "1", "DAY", "0");
  EXPECT_EQ(tvr_shared_log_settings.period_start, utc(2026, 12, 6, 15, 0));
  log_at(utc(2026, 12, 7, 9, 0), 2);
  hdrw_test::quiet_log();
  EXPECT_EQ(files_of(dir.path()), (Files{{"test.log", {2}}, {"test.log202612060000.log", {1}}}));
}

TEST_F(TvrLogRoll, RollKeepsOnlyTheNewestRolledFiles) {
  TzGuard utc0("UTC0");
  TempDir dir;
  const char *present[] = {"filter.log200412050000.log",
                           "filter.log200412060000.log",
                           "filter.log200412070000.log",
                           "FILTER.LOG200412040000.LOG",
                           "filter.logX.log",
                           "filter.log20041205000.log",
                           "other.log200412010000.log",
                           "filter.log200412010000.txt"};
  for (const char *name : present) {
    hdrw_test::write_file(dir.file(name), "");
  }
  std::string path = dir.file("filter.log");
  FakeClock::install(utc(2004, 12, 8, 10, 0));
  tvr_log_configure(path.c_str(), "7", "1", "DAY", "2");
  log_at(utc(2004, 12, 8, 10, 0), 1);
  log_at(utc(2004, 12, 9, 0, 1), 2);
  hdrw_test::quiet_log();
  // Matched ignoring case, sorted by bytes: the upper-case name is the oldest.
  EXPECT_EQ(hdrw_test::list_dir(dir.path()),
            (std::vector<std::string>{"filter.log", "filter.log200412010000.txt",
                                      "filter.log20041205000.log", "filter.log200412070000.log",
                                      "filter.log200412080000.log", "filter.logX.log",
                                      "other.log200412010000.log"}));
}

TEST_F(TvrLogRoll, RenameFailureIsReportedAtEveryFourth) {
  EventCapture events;
  FakeClock::install(utc(2026, 12, 7, 9, 0));
  LogCapture cap(TVR_LOG_DEBUG, 1, "HOUR", 0);
  for (unsigned i = 1; i <= 5; i++) {
    log_at(utc(2026, 12, 7, 8 + i, 10), i);
    unlink(cap.path().c_str());  // the next roll finds nothing to rename
    EXPECT_TRUE(events.events().empty() || i > 4) << i;
  }
  log_at(utc(2026, 12, 7, 14, 10), 6);
  std::string ids = std::to_string(tlvpr_getpid()) + "." + std::to_string(tlvpr_thread_id());
  std::vector<hdrw_test::EventRecord> got = events.events();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text,
            "[Talvora] (INFO:" + ids + "): [" + std::to_string(ENOENT) +
                "] Rename of log file failed with errno " + std::to_string(ENOENT) +
                ". Logs will continue to be written to the file specified in the config.\n");
  EXPECT_EQ(got[0].type, 1);
  EXPECT_EQ(got[0].category, 0);
  EXPECT_EQ(got[0].event_id, 0xC0000202u);
  EXPECT_EQ(tvr_shared_log_settings.rename_failures, 1);  // the fifth, after the report
  EXPECT_EQ(numbers(cap.path()), (std::vector<unsigned>{6}));
}

TEST_F(TvrLogRoll, LostLogFileIsReportedAtOnceAndLoggingMovesToTheEventLog) {
  EventCapture events;
  TempDir dir;
  std::string logs = dir.file("logs");
  ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
  std::string path = logs + "/test.log";
  FakeClock::install(utc(2026, 12, 7, 9, 0));
  tvr_log_configure(path.c_str(), "7", "1", "HOUR", "0");
  log_at(utc(2026, 12, 7, 9, 10), 1);
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(rmdir(logs.c_str()), 0);
  log_at(utc(2026, 12, 7, 10, 10), 2);  // rename and reopen fail: lost
  EXPECT_EQ(tvr_shared_log_settings.stream, nullptr);
  log_at(utc(2026, 12, 7, 10, 20), 3);
  std::vector<std::string> lines = events.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("): [2] Rename of log file failed with errno 2. "), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("): [29029] Rules loaded = 3, regexs loaded = 0.\n"), std::string::npos)
      << lines[1];
  EXPECT_EQ(tvr_shared_log_settings.rename_failures, 0);
}

// Every allocation of a roll fails in turn: a failed cleanup is reported with
// its status, deletes nothing, and the next roll cleans up.
TEST_F(TvrLogRoll, CleanupFailureIsReportedAndDeletesNothing) {
  for (uint64_t n = 1; n < 100; n++) {
    SCOPED_TRACE(n);
    EventCapture events;
    FakeClock::install(utc(2026, 12, 7, 9, 0));
    LogCapture cap(TVR_LOG_DEBUG, 1, "HOUR", 1);
    hdrw_test::write_file(cap.dir() + "/test.log202612060000.log", "");
    hdrw_test::write_file(cap.dir() + "/test.log202612060100.log", "");
    log_at(utc(2026, 12, 7, 9, 10), 1);
    tlvpr_fault_arm(n);
    log_at(utc(2026, 12, 7, 10, 10), 2);
    const uint64_t used = tlvpr_fault_disarm();
    std::vector<std::string> lines = events.lines();
    if (used < n) {  // nothing failed: the roll cleaned up, and every allocation was seen
      EXPECT_GT(n, 1u);
      EXPECT_EQ(lines.size(), 0u);
      EXPECT_EQ(files_of(cap.dir()), (Files{{"test.log", {2}}, {"test.log202612071000.log", {1}}}));
      return;
    }
    ASSERT_EQ(lines.size(), 1u);
    const size_t at = lines[0].find("): [");
    ASSERT_NE(at, std::string::npos) << lines[0];
    const std::string status = lines[0].substr(at + 4, lines[0].find(']', at) - at - 4);
    EXPECT_EQ(lines[0].substr(at),
              "): [" + status + "] Deletion of some or all of the old logs failed with errno " +
                  status + ". Undeleted files will remain in the log directory.\n");
    EXPECT_EQ(files_of(cap.dir()).size(), 4u);
    log_at(utc(2026, 12, 7, 11, 10), 3);  // the next roll cleans up
    EXPECT_EQ(files_of(cap.dir()), (Files{{"test.log", {3}}, {"test.log202612071100.log", {2}}}));
  }
  ADD_FAILURE() << "the roll did not run out of allocations to fail";
}

// Former bug: a rolled name longer than the path limit was cut and could name a
// file elsewhere; the file is now kept and the failure counted.
TEST_F(TvrLogRoll, RolledNameThatDoesNotFitIsNotRenamed) {
  TempDir dir;
  std::string path = dir.path() + "/";
  path += std::string(255 - path.size(), 'n') + ".log";  // 259 characters
  ASSERT_EQ(path.size(), 259u);
  FakeClock::install(utc(2026, 12, 7, 9, 0));
  tvr_log_configure(path.c_str(), "7", "1", "HOUR", "0");
  log_at(utc(2026, 12, 7, 9, 10), 1);
  log_at(utc(2026, 12, 7, 10, 10), 2);
  EXPECT_EQ(tvr_shared_log_settings.rename_failures, 1);
  hdrw_test::quiet_log();
  EXPECT_EQ(hdrw_test::list_dir(dir.path()).size(), 1u);
  EXPECT_EQ(numbers(path), (std::vector<unsigned>{1, 2}));
}

TEST_F(TvrLogRoll, StandardErrorIsNeverRolled) {
  FakeClock::install(utc(2026, 12, 7, 9, 0));
  tvr_log_configure("stderr", "0", "1", "MINUTE", "3");
  EXPECT_EQ(tvr_shared_log_settings.roll_seconds, 60);
  tvr_log_configure("stderr", "7", nullptr, nullptr, nullptr);
  FakeClock::set(utc(2026, 12, 7, 9, 5));
  tvr_log_trace("a.c", 1, nullptr, "to stderr");
  EXPECT_EQ(tvr_shared_log_settings.stream, stderr);
  EXPECT_NE(fcntl(2, F_GETFD), -1);
}

TEST(TvrLogCleanup, MatchesOnlyRolledNamesOfTheLog) {
  TempDir dir;
  struct Row {
    const char *base;
    const char *ext;
    std::vector<std::string> names;
    std::vector<std::string> kept;
  } rows[] = {
      {"filter.log",
       ".log",
       {"filter.log", "filter.log200412050000.log", "Filter.Log200412060000.LOG",
        "filter.log2004120500001.log", "filter.log200412050000", "filter.logabcdefghijkl.log"},
       // The twelve characters are not checked to be digits.
       {"filter.log", "filter.log200412050000", "filter.log2004120500001.log",
        "filter.logabcdefghijkl.log"}},
      {"filter",
       "",
       {"filter", "filter200412050000", "filter200412060000", "filter200412050000.log",
        "filter20041205000"},
       {"filter", "filter20041205000", "filter200412050000.log", "filter200412060000"}},
      // Bytes compare as unsigned values: the high bytes sort after the digits.
      {"filter.log",
       ".log",
       {"filter.log200412050000.log", "filter.log" + std::string(12, '\xE9') + ".log"},
       {"filter.log" + std::string(12, '\xE9') + ".log"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.base);
    TempDir d;
    for (const std::string &name : row.names) {
      hdrw_test::write_file(d.file(name), "");
    }
    snprintf(tvr_shared_log_settings.base_name, TVR_LOG_PATH_MAX, "%s", row.base);
    snprintf(tvr_shared_log_settings.extension, TVR_LOG_PATH_MAX, "%s", row.ext);
    tvr_shared_log_settings.keep_count = 1;
    EXPECT_EQ(tvr_log_cleanup(d.path().c_str(), row.base), 0u);
    EXPECT_EQ(hdrw_test::list_dir(d.path()), row.kept);
  }
  tvr_shared_log_settings.keep_count = 0;
}

TEST(TvrLogCleanup, DirectoryFailuresAndTheWorkingDirectory) {
  TempDir dir;
  snprintf(tvr_shared_log_settings.base_name, TVR_LOG_PATH_MAX, "%s", "a.log");
  snprintf(tvr_shared_log_settings.extension, TVR_LOG_PATH_MAX, "%s", ".log");
  tvr_shared_log_settings.keep_count = 1;
  EXPECT_EQ(tvr_log_cleanup(dir.file("missing").c_str(), "a.log"), 10024u);
  hdrw_test::write_file(dir.file("plain"), "");
  EXPECT_EQ(tvr_log_cleanup(dir.file("plain").c_str(), "a.log"), 10024u);

  hdrw_test::write_file(dir.file("a.log200412050000.log"), "");
  hdrw_test::write_file(dir.file("a.log200412060000.log"), "");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(tvr_log_cleanup(nullptr, "a.log"), 0u);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(hdrw_test::list_dir(dir.path()),
            (std::vector<std::string>{"a.log200412060000.log", "plain"}));
  tvr_shared_log_settings.keep_count = 0;
}

// Called directly, the two calls keep to the record's meaning: keep_count 0 or
// less deletes nothing, roll_seconds 0 or less rolls nothing.
TEST(TvrLogCleanup, NothingIsDeletedOrRolledWhenTheRecordSaysNever) {
  TempDir dir;
  hdrw_test::write_file(dir.file("a.log200412050000.log"), "");
  snprintf(tvr_shared_log_settings.base_name, TVR_LOG_PATH_MAX, "%s", "a.log");
  snprintf(tvr_shared_log_settings.extension, TVR_LOG_PATH_MAX, "%s", ".log");
  for (int keep : {0, -1}) {
    tvr_shared_log_settings.keep_count = keep;
    EXPECT_EQ(tvr_log_cleanup(dir.path().c_str(), "a.log"), 0u) << keep;
  }
  EXPECT_EQ(hdrw_test::list_dir(dir.path()), (std::vector<std::string>{"a.log200412050000.log"}));
  tvr_shared_log_settings.keep_count = 0;
  tvr_shared_log_settings.roll_seconds = 0;
  int renamed = 1;
  EXPECT_EQ(tvr_log_roll(&renamed), 0);
  EXPECT_EQ(renamed, 0);
}

TEST(TvrLogCleanup, OutOfMemoryDeletesNothing) {
  TempDir dir;
  snprintf(tvr_shared_log_settings.base_name, TVR_LOG_PATH_MAX, "%s", "a.log");
  snprintf(tvr_shared_log_settings.extension, TVR_LOG_PATH_MAX, "%s", ".log");
  tvr_shared_log_settings.keep_count = 2;
  for (int day = 1; day <= 25; day++) {  // more names than the list holds at first
    char name[64];
    snprintf(name, sizeof name, "a.log200412%02d0000.log", day);
    hdrw_test::write_file(dir.file(name), "");
  }
  bool done = false;
  hdrw_test::fault_loop([&] {
    uint32_t rc = tvr_log_cleanup(dir.path().c_str(), "a.log");
    if (rc == 0) {
      done = true;
      return;
    }
    EXPECT_TRUE(rc == 10055u || rc == 10024u) << rc;
    EXPECT_EQ(hdrw_test::list_dir(dir.path()).size(), 25u);
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(hdrw_test::list_dir(dir.path()),
            (std::vector<std::string>{"a.log200412240000.log", "a.log200412250000.log"}));
  tvr_shared_log_settings.keep_count = 0;
}
