// Tests of the log call, the catalog, the trace call and the record writer's
// line formats on both sinks (tvr_log, tvr_messages, tvr_log_write).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>

#include <syslog.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "log_capture.h"
#include "test_support.h"
#include "tlvpr_sync.h"
#include "tvr_log.h"
#include "tvr_log_settings.h"
#include "tvr_log_write.h"
#include "tvr_messages.h"
#include "tvrshareddata.h"

using hdrw_test::EventCapture;
using hdrw_test::FakeClock;
using hdrw_test::HookGuard;
using hdrw_test::LogCapture;
using hdrw_test::TzGuard;

namespace {

constexpr int64_t kDec7 = 1796615044;  // 7 Dec 2026 03:44:04 UTC
const char *const kDec7Stamp = "7 Dec 2026 03:44:04";

std::string ids() {
  return std::to_string(tlvpr_getpid()) + "." + std::to_string(tlvpr_thread_id());
}

// Expected file line without the newline.
std::string file_line(const char *level, int64_t code, const std::string &message) {
  std::string line = std::string(kDec7Stamp) + " (" + level + ":" + ids() + "): ";
  if (code >= 0) {
    line += "[" + std::to_string(code) + "] ";
  }
  return line + message;
}

// Expected event-log line, newline included.
std::string event_line(const char *level, int64_t code, const std::string &message) {
  std::string line = std::string("[Talvora] (") + level + ":" + ids() + "): ";
  if (code >= 0) {
    line += "[" + std::to_string(code) + "] ";
  }
  return line + message + "\n";
}

// Everything that fd 2 receives while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string &path) : path_(path) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    return hdrw_test::read_file(path_);
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }
  std::string path_;
  int saved_ = -1;
};

// The level field of a record, written out here rather than taken from the code
// under test.
const char *level_label(int level) {
  static const char *const labels[] = {"DEBUG",   "ALERT",  "DEBUG", "ERROR",
                                       "WARNING", "NOTICE", "INFO",  "DEBUG"};
  return labels[level];
}

struct CatalogRow {
  uint32_t code;
  int level;
  std::function<void()> log;
  const char *message;
};

// One row per catalog code, with arguments of the types its callers pass.
const std::vector<CatalogRow> &catalog_rows() {
  static const std::vector<CatalogRow> rows = {
      {1003, 3, [] { tvr_log(3, 1003, 42); }, "Internal logging error.  Error code: 42."},
      {2042, 3, [] { tvr_log(3, 2042); }, "Encryption error: Error reading input file."},
      {2043, 3, [] { tvr_log(3, 2043); }, "Encryption error: error base64 encoding/decoding data."},
      {2044, 6, [] { tvr_log(6, 2044, 512); }, "Encryption: 512 bytes were en-/de-crypted."},
      {2045, 3, [] { tvr_log(3, 2045); }, "Encryption error while encrypting input data."},
      {2046, 3, [] { tvr_log(3, 2046, 7); }, "Encryption error: wrong key length: 7."},
      {2047, 3, [] { tvr_log(3, 2047, 5); }, "Encryption error: unknown encryption type: 5."},
      {2070, 4, [] { tvr_log(4, 2070, "foo"); }, "Invalid syslog facility 'foo'.  Using 'mail'."},
      {10001, 3, [] { tvr_log(3, 10001, 33); },
       "Malloc error while attempting to allocate 33 bytes."},
      {10008, 3, [] { tvr_log(3, 10008, 24); },
       "Calloc error while attempting to allocate 24 bytes."},
      {10013, 1, [] { tvr_log(1, 10013); }, "Malloc error while attempting to allocate memory."},
      {10018, 3, [] { tvr_log(3, 10018, "tlvModEndMessage (regex filter)"); },
       "Null argument(s) passed to tlvModEndMessage (regex filter)."},
      {10019, 3, [] { tvr_log(3, 10019, "/x/kelv"); }, "Could not open file: /x/kelv."},
      {10030, 3, [] { tvr_log(3, 10030); }, "Failed to initialize mutex."},
      {10034, 3, [] { tvr_log(3, 10034); }, "End of file encountered."},
      {10035, 3, [] { tvr_log(3, 10035); }, "File error encountered."},
      {10040, 6, [] { tvr_log(6, 10040); }, "Bad argument passed to function."},
      {10044, 3, [] { tvr_log(3, 10044); }, "Error getting file status."},
      {10047, 1, [] { tvr_log(1, 10047); }, "Illegal data."},
      {10056, 3, [] { tvr_log(3, 10056, "/x.log"); }, "Unable to open file: /x.log."},
      {10070, 3, [] { tvr_log(3, 10070, 13, "Permission denied"); },
       "errno: 13: Permission denied."},
      {10081, 3, [] { tvr_log(3, 10081, "x.log"); },
       "Could not split the log file x.log into the directory, log file name and extension."},
      {10089, 3, [] { tvr_log(3, 10089, "clientCert"); },
       "Missing mandatory config setting \"clientCert\""},
      {10090, 3, [] { tvr_log(3, 10090, "maxBackTracks"); },
       "Error while reading config setting \"maxBackTracks\""},
      {10092, 4, [] { tvr_log(4, 10092, "maxHeaderLength"); },
       "Bad value for config setting \"maxHeaderLength\""},
      {10098, 3, [] { tvr_log(3, 10098, "x.log"); }, "File path is malformed: \"x.log\""},
      {11007, 3, [] { tvr_log(3, 11007); }, "tlvModEndHeaders: (regex filter) could not read MDS."},
      {11008, 3, [] { tvr_log(3, 11008); }, "tlvModEndHeaders: (regex filter) could not seek MDS."},
      {11009, 3, [] { tvr_log(3, 11009); },
       "tlvModEndMessage: (regex filter) error encountered in regex engine."},
      {11010, 3, [] { tvr_log(3, 11010); },
       "tlvModInitModule: (regex filter) cannot configure module."},
      {11011, 3, [] { tvr_log(3, 11011); },
       "tlvModInitModule: (regex filter) could not initialize the regex engine."},
      {11012, 3, [] { tvr_log(3, 11012); },
       "tlvModInitModule: (regex filter) cannot read rulebase."},
      {11013, 5, [] { tvr_log(5, 11013, 40000u, 32768u); },
       "tlvModEndMessage: (regex filter) headers length 40000 > max allowed 32768, returning spam "
       "disposition."},
      {27115, 3, [] { tvr_log(3, 27115, "hdrweights"); },
       "read_junkdam_config: hdrweights missing settings."},
      {29001, 4, [] { tvr_log(4, 29001, 17u, "REG_ESPACE", 12, 5, "Subject: hello"); },
       "Rule 17; regex error REG_ESPACE (12) for header \"Subje\"."},
      {29004, 3, [] { tvr_log(3, 29004); }, "Incomplete last line of rule file on version string."},
      {29005, 3, [] { tvr_log(3, 29005); }, "Incorrect version string in rule file."},
      {29007, 6, [] { tvr_log(6, 29007); }, "Rule too short: rule ID."},
      {29008, 3, [] { tvr_log(3, 29008); }, "Bad rule ID."},
      {29009, 3, [] { tvr_log(3, 29009); }, "Rule too short: rule weight."},
      {29010, 3, [] { tvr_log(3, 29010); }, "Rule too short: rule conjunction."},
      {29011, 3, [] { tvr_log(3, 29011); }, "Bad conjunction on a single line rule."},
      {29012, 3, [] { tvr_log(3, 29012); }, "Bad conjunction on a multi line rule."},
      {29013, 3, [] { tvr_log(3, 29013); }, "Bad rule type."},
      {29014, 3, [] { tvr_log(3, 29014); }, "Rule too short: no regex."},
      {29015, 6, [] { tvr_log(6, 29015); }, "Cannot read version strings."},
      {29016, 6, [] { tvr_log(6, 29016); }, "Cannot read next rule from file."},
      {29018, 3, [] { tvr_log(3, 29018, "a(b", "parentheses not balanced", 42u); },
       "Bad regular expression: a(b: parentheses not balanced: 42."},
      {29024, 3, [] { tvr_log(3, 29024); }, "Cannot open rule file."},
      {29025, 3, [] { tvr_log(3, 29025); }, "Cannot open decryption file."},
      {29026, 3, [] { tvr_log(3, 29026); }, "Could not decrypt rule file."},
      {29027, 3, [] { tvr_log(3, 29027); }, "Could not rewind decrypted file."},
      {29028, 3, [] { tvr_log(3, 29028); }, "Cannot load rule base."},
      {29029, 6, [] { tvr_log(6, 29029, 3u, 4u); }, "Rules loaded = 3, regexs loaded = 4."},
      {29030, 5, [] { tvr_log(5, 29030, 768u, 10, "X-Long: aaaaaaaaaaaa"); },
       "Header longer than 768, not checking: \"X-Long: aa\"."},
  };
  return rows;
}

class TvrLogFile : public ::testing::Test {
 protected:
  TvrLogFile() : tz_("UTC0") { FakeClock::install(kDec7); }
  HookGuard hooks_;
  TzGuard tz_;
};

}  // namespace

TEST_F(TvrLogFile, EveryCatalogCodeGivesItsExactLine) {
  LogCapture cap;
  for (const CatalogRow &row : catalog_rows()) {
    SCOPED_TRACE(row.code);
    cap.clear();
    row.log();
    std::vector<std::string> lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], file_line(level_label(row.level), row.code, row.message));
  }
}

TEST(TvrMessages, CatalogHoldsExactlyTheTestedCodes) {
  std::set<uint32_t> tested;
  for (const CatalogRow &row : catalog_rows()) {
    tested.insert(row.code);
  }
  std::set<uint32_t> held;
  for (size_t i = 0; i < tvr_messages_count; i++) {
    held.insert(tvr_messages[i].code);
    EXPECT_EQ(tvr_message_text(tvr_messages[i].code), tvr_messages[i].text);
  }
  EXPECT_EQ(held, tested);
  for (uint32_t code : {0u, 2u, 1002u, 1004u, 10002u, 29002u, 29031u, 0xFFFFFFFFu}) {
    EXPECT_EQ(tvr_message_text(code), nullptr) << code;
  }
}

TEST_F(TvrLogFile, UnknownCodeIsReportedAsCode1003AtLevel3) {
  {
    LogCapture cap(2);  // the report itself is a level 3 record, dropped here
    tvr_log(1, 2);
    EXPECT_TRUE(cap.lines().empty());
  }
  LogCapture cap(TVR_LOG_ERR);
  tvr_log(3, 2);
  tvr_log(7, 29031);  // its own level would be dropped
  tvr_log(6, 0xFFFFFFFFu);
  EXPECT_EQ(cap.lines(),
            (std::vector<std::string>{
                file_line("ERROR", 1003, "Internal logging error.  Error code: 2."),
                file_line("ERROR", 1003, "Internal logging error.  Error code: 29031."),
                file_line("ERROR", 1003, "Internal logging error.  Error code: -1."),
            }));
}

TEST_F(TvrLogFile, ThresholdDropsHigherLevelsAndNamesEveryLevel) {
  LogCapture cap(TVR_LOG_NOTICE);
  tvr_log(6, 29029, 1u, 2u);  // dropped
  tvr_log(5, 11013, 9u, 8u);
  tvr_log(2, 10013);
  tvr_log(0, 10013);
  tvr_log(-3, 10013);
  tvr_log(1, 10047);
  std::vector<hdrw_test::LogRecord> records = cap.records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].level, "NOTICE");
  EXPECT_EQ(records[0].code, 11013);
  EXPECT_EQ(records[1].level, "DEBUG");
  EXPECT_EQ(records[2].level, "DEBUG");
  EXPECT_EQ(records[3].level, "DEBUG");
  EXPECT_EQ(records[4].level, "ALERT");
  EXPECT_STREQ(tvr_log_level_name(8), "DEBUG");
  EXPECT_STREQ(tvr_log_level_name(4), "WARNING");
}

TEST_F(TvrLogFile, NothingIsWrittenAtThresholdZero) {
  LogCapture cap(0);
  tvr_log(1, 10047);
  tvr_log_trace("a.c", 1, nullptr, "x");
  EXPECT_TRUE(cap.lines().empty());
}

TEST_F(TvrLogFile, TraceFormsAndTheirThreshold) {
  {
    LogCapture cap(TVR_LOG_INFO);
    tvr_log_trace("a.c", 12, "f", "rule %u", 7u);
    EXPECT_TRUE(cap.lines().empty());
  }
  LogCapture cap(TVR_LOG_DEBUG);
  tvr_log_trace("a.c", 12, "f", "rule %u", 7u);
  tvr_log_trace("a.c", 12, nullptr, "rule %u", 7u);
  tvr_log_trace("a.c", 12, nullptr, nullptr);
  tvr_log_trace("/src/load_rules.cpp", 300, nullptr, "removing invalid rule: %u", 4u);
  EXPECT_EQ(cap.lines(),
            (std::vector<std::string>{
                file_line("DEBUG", -1, "[a.c:12:f] rule 7"),
                file_line("DEBUG", -1, "[a.c:12] rule 7"),
                file_line("DEBUG", -1, "[/src/load_rules.cpp:300] removing invalid rule: 4"),
            }));
}

// Former bug: a per-cent sign in the file or function name was taken as a
// conversion and consumed arguments that were never passed.
TEST_F(TvrLogFile, TracePercentInFileAndFunctionIsText) {
  LogCapture cap;
  tvr_log_trace("d%s/a%n.c", 5, "f%d%", "weight = %d", 12);
  tvr_log_trace("100%", 6, nullptr, "%s and %%", "text");
  EXPECT_EQ(cap.lines(), (std::vector<std::string>{
                             file_line("DEBUG", -1, "[d%s/a%n.c:5:f%d%] weight = 12"),
                             file_line("DEBUG", -1, "[100%:6] text and %"),
                         }));
}

TEST_F(TvrLogFile, TraceIsCutTo1023Characters) {
  LogCapture cap;
  std::string file(2000, 'f');
  std::string percent(2000, '%');
  tvr_log_trace(file.c_str(), 1, nullptr, "tail");
  tvr_log_trace(percent.c_str(), 1, nullptr, "tail");
  std::vector<hdrw_test::LogRecord> records = cap.records();
  ASSERT_EQ(records.size(), 2u);
  // "[" + the name cut to 1023 characters with room for its terminator; the rest
  // of the composed format does not fit.
  EXPECT_EQ(records[0].message, "[" + std::string(1022, 'f'));
  EXPECT_EQ(records[1].message, "[" + std::string(511, '%'));
}

TEST_F(TvrLogFile, TimestampIsLocalTimeWithUnpaddedDay) {
  struct Row {
    const char *zone;
    int64_t t;
    const char *stamp;
  } rows[] = {
      {"UTC0", kDec7, "7 Dec 2026 03:44:04"},
      {"UTC0", 1072915200, "1 Jan 2004 00:00:00"},
      {"UTC0", 2214172799, "29 Feb 2040 23:59:59"},  // after 2038
      {"Europe/Berlin", 1779019509, "17 May 2026 14:05:09"},
      {"Europe/Berlin", 1072915200, "1 Jan 2004 01:00:00"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.stamp);
    TzGuard tz(row.zone);
    FakeClock::set(row.t);
    char stamp[TVR_LOG_TIMESTAMP_MAX];
    tvr_log_timestamp(stamp, sizeof stamp);
    EXPECT_STREQ(stamp, row.stamp);
  }
}

// Every month's abbreviation, against the C library's own in the C locale.
TEST_F(TvrLogFile, TimestampNamesEveryMonth) {
  for (int mon = 0; mon < 12; mon++) {
    struct tm tm = {};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = mon;
    tm.tm_mday = 15;
    tm.tm_hour = 12;
    time_t t = timegm(&tm);
    char abbrev[16];
    ASSERT_GT(strftime(abbrev, sizeof abbrev, "%b", &tm), 0u);
    SCOPED_TRACE(abbrev);
    FakeClock::set((int64_t)t);
    char stamp[TVR_LOG_TIMESTAMP_MAX];
    tvr_log_timestamp(stamp, sizeof stamp);
    EXPECT_EQ(std::string(stamp), std::string("15 ") + abbrev + " 2026 12:00:00");
  }
}

TEST_F(TvrLogFile, MessageEndingInNewlineGetsNoSecond) {
  LogCapture cap;
  tvr_log_trace("a.c", 1, nullptr, "line\n");
  tvr_log_trace("a.c", 2, nullptr, "next");
  EXPECT_EQ(hdrw_test::read_file(cap.path()), file_line("DEBUG", -1, "[a.c:1] line") + "\n" +
                                                  file_line("DEBUG", -1, "[a.c:2] next") + "\n");
}

TEST_F(TvrLogFile, LongMessageIsCutTo4097CharactersPlusNewline) {
  LogCapture cap;
  std::string arg(5000, 'x');
  tvr_log(3, 10019, arg.c_str());
  std::string text = hdrw_test::read_file(cap.path());
  std::string prefix = file_line("ERROR", 10019, "Could not open file: ");
  ASSERT_EQ(text.size(), 4098u);
  EXPECT_EQ(text.substr(0, prefix.size()), prefix);
  EXPECT_EQ(text.substr(prefix.size(), 4097 - prefix.size()),
            std::string(4097 - prefix.size(), 'x'));
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(TvrLogFile, StderrDestinationWritesStampedLines) {
  hdrw_test::TempDir dir;
  StderrCapture err(dir.file("stderr"));
  tvr_log_configure("stderr", "7", nullptr, nullptr, nullptr);
  tvr_log(3, 29024);
  hdrw_test::quiet_log();
  EXPECT_EQ(err.text(), file_line("ERROR", 29024, "Cannot open rule file.") + "\n");
}

// A log file whose writes fail (the device is full): the failed record and every
// later one go to standard error, after the switch notice.
TEST_F(TvrLogFile, WriteFailureSwitchesToStderr) {
  hdrw_test::TempDir dir;
  StderrCapture err(dir.file("stderr"));
  tvr_log_configure("/dev/full", "7", nullptr, nullptr, nullptr);
  ASSERT_NE(tvr_shared_log_settings.stream, nullptr);
  tvr_log(3, 29024);
  EXPECT_EQ(tvr_shared_log_settings.stream, stderr);
  tvr_log(6, 29029, 1u, 2u);
  hdrw_test::quiet_log();
  EXPECT_EQ(err.text(), "*** could not write to log file, switching to stderr\n" +
                            file_line("ERROR", 29024, "Cannot open rule file.") + "\n" +
                            file_line("INFO", 29029, "Rules loaded = 1, regexs loaded = 2.") +
                            "\n");
}

// Former bug: a failed write to standard error left the stream's error indicator
// set, so every later record wrote the switch notice and its line a second time.
TEST_F(TvrLogFile, StderrWriteFailureIsIgnored) {
  hdrw_test::TempDir dir;
  StderrCapture err(dir.file("stderr"));
  tvr_log_configure("stderr", "7", nullptr, nullptr, nullptr);
  int saved = dup(2);
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  dup2(full, 2);
  close(full);
  tvr_log(3, 29024);  // lost: standard error is full for a moment
  dup2(saved, 2);
  close(saved);
  tvr_log(6, 29029, 1u, 2u);
  EXPECT_EQ(tvr_shared_log_settings.stream, stderr);
  hdrw_test::quiet_log();
  clearerr(stderr);
  EXPECT_EQ(err.text(), file_line("INFO", 29029, "Rules loaded = 1, regexs loaded = 2.") + "\n");
}

class TvrLogEvent : public ::testing::Test {
 protected:
  TvrLogEvent() { tvr_log_configure("syslog", "8", nullptr, nullptr, nullptr); }
  ~TvrLogEvent() override { hdrw_test::quiet_log(); }
  HookGuard hooks_;
  EventCapture events_;
};

TEST_F(TvrLogEvent, TypeCategoryAndIdFollowTheLevel) {
  struct Row {
    std::function<void()> log;
    const char *level;
    int64_t code;
    const char *message;
    int type;
    int category;
    uint32_t id;
  } rows[] = {
      {[] { tvr_log(3, 29024); }, "ERROR", 29024, "Cannot open rule file.", 1, 29, 0xC0000202u},
      {[] { tvr_log(1, 10047); }, "ALERT", 10047, "Illegal data.", 1, 10, 0xC0000202u},
      {[] { tvr_log(4, 2070, "x"); }, "WARNING", 2070,
       "Invalid syslog facility 'x'.  Using 'mail'.", 2, 2, 0x80000201u},
      {[] { tvr_log(5, 11013, 1u, 2u); }, "NOTICE", 11013,
       "tlvModEndMessage: (regex filter) headers length 1 > max allowed 2, returning spam "
       "disposition.",
       0, 11, 0x40000200u},
      {[] { tvr_log(6, 29029, 1u, 2u); }, "INFO", 29029, "Rules loaded = 1, regexs loaded = 2.", 4,
       29, 0x40000200u},
      {[] { tvr_log(2, 10013); }, "DEBUG", 10013,
       "Malloc error while attempting to allocate memory.", 4, 10, 0x40000200u},
      {[] { tvr_log(0, 10040); }, "DEBUG", 10040, "Bad argument passed to function.", 4, 10,
       0x40000200u},
      {[] { tvr_log(8, 10040); }, "DEBUG", 10040, "Bad argument passed to function.", 4, 10,
       0x40000200u},
      {[] { tvr_log(3, 1003, 5); }, "ERROR", 1003, "Internal logging error.  Error code: 5.", 1, 1,
       0xC0000202u},
      {[] { tvr_log_trace("a.c", 3, nullptr, "w = %d", -4); }, "DEBUG", -1, "[a.c:3] w = -4", 4, 0,
       0x40000200u},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.message);
    events_.clear();
    row.log();
    std::vector<hdrw_test::EventRecord> got = events_.events();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, event_line(row.level, row.code, row.message));
    EXPECT_EQ(got[0].type, row.type);
    EXPECT_EQ(got[0].category, row.category);
    EXPECT_EQ(got[0].event_id, row.id);
  }
}

TEST_F(TvrLogEvent, LongMessageIsCutTo4097CharactersPlusNewline) {
  std::string arg(5000, 'y');
  tvr_log(3, 10019, arg.c_str());
  std::vector<std::string> lines = events_.lines();
  ASSERT_EQ(lines.size(), 1u);
  std::string prefix = event_line("ERROR", 10019, "Could not open file: ");
  prefix.pop_back();
  ASSERT_EQ(lines[0].size(), 4098u);
  EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix);
  EXPECT_EQ(lines[0].substr(prefix.size(), 4097 - prefix.size()),
            std::string(4097 - prefix.size(), 'y'));
  EXPECT_EQ(lines[0].back(), '\n');
}

TEST_F(TvrLogEvent, ThresholdAppliesToTheEventLog) {
  tvr_log_configure("syslog", "4", nullptr, nullptr, nullptr);
  tvr_log(5, 29030, 1u, 1, "x");
  tvr_log_trace("a.c", 1, nullptr, "x");
  tvr_log(4, 29001, 1u, "e", 2, 1, "h");
  ASSERT_EQ(events_.events().size(), 1u);
  EXPECT_EQ(events_.events()[0].type, TVR_EVENT_WARNING);
}

TEST(TvrLogEventIds, TypesAndIds) {
  EXPECT_EQ(tvr_log_event_type(0), TVR_EVENT_INFORMATION);
  EXPECT_EQ(tvr_log_event_type(7), TVR_EVENT_INFORMATION);
  EXPECT_EQ(tvr_log_event_type(9), TVR_EVENT_INFORMATION);
  EXPECT_EQ(tvr_log_event_id(TVR_EVENT_SUCCESS), 0x40000200u);
  EXPECT_EQ(tvr_log_event_id(TVR_EVENT_INFORMATION), 0x40000200u);
  EXPECT_EQ(tvr_log_event_id(TVR_EVENT_WARNING), 0x80000201u);
  EXPECT_EQ(tvr_log_event_id(TVR_EVENT_ERROR), 0xC0000202u);
  EXPECT_EQ(tvr_log_event_id(3), 0xC0000202u);
}

// The system log takes the line as text: a conversion in it is not expanded (a
// "%n" read as a format would write through an argument that is not there).
TEST(TvrLogSyslog, DefaultReporterTakesTheLineAsText) {
  HookGuard hooks;
  tlvpr_hooks.report_event = nullptr;
  tvr_log_configure("syslog|local7", "7", nullptr, nullptr, nullptr);
  tvr_log(3, 10019, "%n%n%s%s");
  tvr_log_toggle_event_source("hdrw-test");  // registered by the record: deregisters
  tvr_log_toggle_event_source("hdrw-test");  // registers under the new name
  tvr_log(4, 10092, "%n%s");
  tvr_log_toggle_event_source(nullptr);  // deregisters again
  hdrw_test::quiet_log();
  EXPECT_EQ(tvr_log_facility(), LOG_LOCAL7);
}
