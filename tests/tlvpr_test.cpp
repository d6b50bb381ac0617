// Tests of the runtime services: file tests, listings, line reads, temporary
// files, error texts, locks, sleep and clock hooks, allocation-failure injection.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tlvpr_dir.h"
#include "tlvpr_errno.h"
#include "tlvpr_fileio.h"
#include "tlvpr_mem.h"
#include "tlvpr_sync.h"
#include "tlvpr_time.h"
#include "tlvpr_tmpfile.h"

using hdrw_test::TempDir;

TEST(TlvprFileTest, BitsAndTrailingSeparator) {
  TempDir dir;
  hdrw_test::write_file(dir.file("f"), "x");
  hdrw_test::write_file(dir.file("r:"), "x");
  ASSERT_EQ(mkdir(dir.file("d:").c_str(), 0700), 0);
  struct Row {
    std::string path;
    int wanted;
    int want;
  } rows[] = {
      {dir.path() + "/", TLVPR_FT_DIRECTORY, 0},
      {dir.path() + "/", TLVPR_FT_REGULAR, -1},
      {dir.path(), TLVPR_FT_EXISTS | TLVPR_FT_DIRECTORY | TLVPR_FT_READ, 0},
      {dir.file("f"), TLVPR_FT_REGULAR | TLVPR_FT_READ | TLVPR_FT_WRITE, 0},
      {dir.file("f"), TLVPR_FT_DIRECTORY, -1},
      {dir.file("f"), TLVPR_FT_EXEC, -1},
      {dir.file("missing"), TLVPR_FT_EXISTS, -1},
      {dir.file("missing"), 0, -1},
      {"", 0, -1},
      // A name ending in ":" is tested with the separator appended (a drive
      // name means its root), one ending in ":/" as it stands.
      {dir.file("d:"), TLVPR_FT_DIRECTORY, 0},
      {dir.file("r:"), TLVPR_FT_EXISTS, -1},
      {dir.file("r:") + "/", TLVPR_FT_EXISTS, -1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path + " " + std::to_string(row.wanted));
    EXPECT_EQ(tlvpr_file_test(row.path.c_str(), row.wanted), row.want);
  }
  EXPECT_EQ(tlvpr_file_test(nullptr, 0), -1);
}

TEST(TlvprDir, ListsEntriesAndEndsWithNull) {
  TempDir dir;
  TlvprDir *listing = tlvpr_opendir(dir.path().c_str());
  ASSERT_NE(listing, nullptr);
  TlvprDirent *entry = nullptr;
  EXPECT_EQ(tlvpr_readdir(listing, &entry, TLVPR_SKIP_DOT | TLVPR_SKIP_DOTDOT), 0);
  EXPECT_EQ(entry, nullptr);  // empty directory: the end at the first read
  EXPECT_EQ(tlvpr_closedir(listing), 0);

  for (const char *name : {"a", "b.log", ".hidden"}) {
    hdrw_test::write_file(dir.file(name), "");
  }
  auto names = [&](int skip) {
    std::vector<std::string> got;
    TlvprDir *l = tlvpr_opendir(dir.path().c_str());
    TlvprDirent *e = nullptr;
    while (tlvpr_readdir(l, &e, skip) == 0 && e != nullptr) {
      got.push_back(tlvpr_dirent_name(e));
    }
    tlvpr_closedir(l);
    std::sort(got.begin(), got.end());
    return got;
  };
  EXPECT_EQ(names(3), (std::vector<std::string>{".hidden", "a", "b.log"}));
  EXPECT_EQ(names(4), (std::vector<std::string>{"a", "b.log"}));
  EXPECT_EQ(names(0), (std::vector<std::string>{".", "..", ".hidden", "a", "b.log"}));
  EXPECT_EQ(names(1), (std::vector<std::string>{"..", ".hidden", "a", "b.log"}));
  EXPECT_EQ(names(2), (std::vector<std::string>{".", ".hidden", "a", "b.log"}));
  EXPECT_EQ(tlvpr_opendir(dir.file("a").c_str()), nullptr);  // not a directory
  EXPECT_EQ(tlvpr_closedir(nullptr), 0);
  EXPECT_EQ(tlvpr_dirent_name(nullptr), nullptr);
}

TEST(TlvprDir, EntryAllocationFailureIsAnError) {
  TempDir dir;
  hdrw_test::write_file(dir.file("a"), "");
  hdrw_test::fault_loop([&] {
    TlvprDir *l = tlvpr_opendir(dir.path().c_str());
    if (l == nullptr) {
      return;
    }
    TlvprDirent *e = nullptr;
    int rc;
    int seen = 0;
    while ((rc = tlvpr_readdir(l, &e, 3)) == 0 && e != nullptr) {
      seen++;
    }
    EXPECT_TRUE(rc == -1 || seen == 1);
    tlvpr_closedir(l);
  });
}

TEST(TlvprFgets, SplitsLongLinesAndClearsEndOfFile) {
  TempDir dir;
  hdrw_test::write_file(dir.file("t"), "abcdefg\nxy");
  FILE *f = fopen(dir.file("t").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[5];
  EXPECT_EQ(tlvpr_fgets(buf, 1, f), nullptr);  // size 1: nothing at once
  ASSERT_NE(tlvpr_fgets(buf, 5, f), nullptr);
  EXPECT_STREQ(buf, "abcd");
  ASSERT_NE(tlvpr_fgets(buf, 5, f), nullptr);
  EXPECT_STREQ(buf, "efg\n");
  ASSERT_NE(tlvpr_fgets(buf, 5, f), nullptr);
  EXPECT_STREQ(buf, "xy");  // final line without newline
  EXPECT_FALSE(feof(f));    // cleared so that appended data is seen
  EXPECT_EQ(tlvpr_fgets(buf, 5, f), nullptr);
  EXPECT_TRUE(feof(f));  // nothing stored: the indicator stays
  fclose(f);
}

TEST(TlvprTmpfile, OwnerOnlyAndGoneWithItsStream) {
  char path[TLVPR_PATH_MAX];
  FILE *f = tlvpr_tmpfile(path);
  ASSERT_NE(f, nullptr);
  std::string dir = tlvpr_temp_dir();
  EXPECT_EQ(std::string(path).rfind(dir + "/tm", 0), 0u) << path;
  EXPECT_FALSE(hdrw_test::file_exists(path));  // unlinked at once: no one else can open it
  struct stat st;
  ASSERT_EQ(fstat(fileno(f), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_nlink, 0u);
  EXPECT_GE(fputs("secret", f), 0);
  fclose(f);
  EXPECT_EQ(tlvpr_tmpfile(nullptr), nullptr);
}

TEST(TlvprErrorText, KindsAndUnknownNumbers) {
  EXPECT_STREQ(tlvpr_error_text(2, 2), strerror(2));
  EXPECT_STREQ(tlvpr_error_text(2, 1), "Unknown Error; Out of range");
  EXPECT_STREQ(tlvpr_error_text(2, 0), "Unknown Error; Out of range");
  EXPECT_STREQ(tlvpr_error_text(2, 5), "Invalid Error: Unknown Type");
  EXPECT_STREQ(tlvpr_error_text(2, -1), "Invalid Error: Unknown Type");
  EXPECT_STREQ(tlvpr_error_text(99999, 2), "Unknown Error; Out of range");
}

TEST(TlvprLock, IsRecursiveAndExcludesOtherThreads) {
  TlvprLock lock;
  ASSERT_EQ(tlvpr_lock_init(&lock), 0);
  tlvpr_lock(&lock);
  tlvpr_lock(&lock);  // the owner may enter again
  tlvpr_unlock(&lock);
  tlvpr_unlock(&lock);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; i++) {
        tlvpr_lock(&lock);
        counter++;
        tlvpr_unlock(&lock);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 40000);
  tlvpr_lock_destroy(&lock);
  EXPECT_EQ(tlvpr_getpid(), (uint32_t)getpid());
  EXPECT_NE(tlvpr_thread_id(), 0u);
}

TEST(TlvprTime, HooksReplaceClockAndSleep) {
  hdrw_test::HookGuard guard;
  hdrw_test::FakeClock::install(1102430700);  // 7 Dec 2004 14:45 UTC
  hdrw_test::SleepRecorder::install();
  EXPECT_EQ(tlvpr_time(), 1102430700);
  tlvpr_sleep(0.5);
  tlvpr_sleep(1.0);
  tlvpr_sleep(0.0019);  // truncated to whole milliseconds
  tlvpr_sleep(-2.0);
  tlvpr_sleep(NAN);  // no sleep rather than an undefined conversion
  EXPECT_EQ(hdrw_test::SleepRecorder::sleeps(), (std::vector<uint32_t>{500, 1000, 1, 0, 0}));
  EXPECT_EQ(tlvpr_time(), 1102430701);  // the recorder advanced the fake clock by whole seconds
}

TEST(TlvprTime, LocalTimeAndZoneOffsetFollowTz) {
  const char *old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  TlvprTm tm;
  ASSERT_EQ(tlvpr_localtime(1102430700, &tm), 0);  // 15:45 in Berlin, winter
  EXPECT_EQ(tm.tm_year, 2004);
  EXPECT_EQ(tm.tm_mon, 11);
  EXPECT_EQ(tm.tm_mday, 7);
  EXPECT_EQ(tm.tm_hour, 15);
  EXPECT_EQ(tlvpr_zone_offset(1102430700), -3600);
  EXPECT_EQ(tlvpr_zone_offset(1120000000), -7200);  // June 2005: daylight saving
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(TlvprMem, FaultInjectionFailsExactlyTheNthAllocation) {
  tlvpr_fault_arm(3);
  void *a = tlvpr_malloc(8);
  void *b = tlvpr_calloc(2, 8);
  void *c = tlvpr_malloc(8);
  void *d = tlvpr_realloc(nullptr, 8);
  uint64_t used = tlvpr_fault_disarm();
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(used, 4u);
  tlvpr_free(a);
  tlvpr_free(b);
  tlvpr_free(d);
  EXPECT_EQ(tlvpr_calloc(SIZE_MAX / 2, 4), nullptr);  // count*size wraps
  void *z = tlvpr_malloc(0);
  EXPECT_NE(z, nullptr);
  tlvpr_free(z);
}

TEST(TlvprFileio, HandlesAreDescriptorsPlusOne) {
  TempDir dir;
  hdrw_test::write_file(dir.file("h"), "0123456789");
  int h = tlvpr_open(dir.file("h").c_str(), O_RDONLY, 0);
  ASSERT_GT(h, 0);
  char buf[4];
  EXPECT_EQ(tlvpr_lseek(h, 6, SEEK_SET), 6);
  EXPECT_EQ(tlvpr_read(h, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "6789");
  TlvprStat st;
  ASSERT_EQ(tlvpr_fstat(h, &st), 0);
  EXPECT_EQ(tlvpr_stat_size(&st), 10);
  EXPECT_EQ(tlvpr_close(h), 0);
  EXPECT_EQ(tlvpr_open(dir.file("none").c_str(), O_RDONLY, 0), 0);
  EXPECT_EQ(tlvpr_read(0, buf, 1), -1);
  EXPECT_EQ(tlvpr_unlink(nullptr), 0);
  EXPECT_EQ(tlvpr_unlink(dir.file("h").c_str()), 0);
  EXPECT_EQ(tlvpr_unlink(dir.file("h").c_str()), -1);
  EXPECT_EQ(tlvpr_path_separator(), '/');
}
