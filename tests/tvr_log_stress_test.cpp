// Concurrency test of the file sink (tvr_log_write, tvr_log_roll): many threads
// log to one file that rolls every minute of a clock that every call moves on;
// every record must land exactly once, as a whole line, in exactly one file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "test_support.h"
#include "tvr_log.h"

namespace {

constexpr int kThreads = 8;
constexpr unsigned kRecords = 20000;
constexpr int64_t kStart = 1796615044;

std::atomic<int64_t> g_calls{0};

// One second per 100 clock reads: the 160,000 records span some 50 minutes.
int64_t stress_clock() { return kStart + g_calls.fetch_add(1, std::memory_order_relaxed) / 100; }

}  // namespace

TEST(TvrLogStress, EveryRecordOnceAsAWholeLineInOneFile) {
  hdrw_test::HookGuard hooks;
  hdrw_test::TzGuard tz("UTC0");
  g_calls = 0;
  tlvpr_hooks.time = stress_clock;
  hdrw_test::LogCapture cap(TVR_LOG_INFO, 1, "MINUTE", 0);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t] {
      for (unsigned i = 0; i < kRecords; i++) {
        tvr_log(TVR_LOG_INFO, 29029, (unsigned)t, i);
        if (i % 1000 == 0) {
          tvr_log(TVR_LOG_DEBUG, 29029, 99u, i);  // dropped
        }
      }
    });
  }
  for (std::thread &th : threads) {
    th.join();
  }

  std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kRecords, 0));
  size_t files = 0;
  size_t bad = 0;
  for (const std::string &name : hdrw_test::list_dir(cap.dir())) {
    files++;
    std::string text = hdrw_test::read_file(cap.dir() + "/" + name);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << name;
    std::vector<int> last(kThreads, -1);
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) {
        end = text.size();
      }
      std::string line = text.substr(pos, end - pos);
      pos = end + 1;
      hdrw_test::LogRecord r;
      unsigned t = 0;
      unsigned i = 0;
      char tail = 0;
      if (!hdrw_test::parse_log_line(line, &r) || r.code != 29029 || r.level != "INFO" ||
          sscanf(r.message.c_str(), "Rules loaded = %u, regexs loaded = %u%c", &t, &i, &tail) !=
              3 ||
          tail != '.' || t >= (unsigned)kThreads || i >= kRecords) {
        if (bad++ < 5) {
          ADD_FAILURE() << name << ": not a whole record line: " << line;
        }
        continue;
      }
      seen[t][i]++;
      // One thread's records keep their order within a file.
      EXPECT_GT((int)i, last[t]) << name;
      last[t] = (int)i;
    }
  }
  EXPECT_EQ(bad, 0u);
  EXPECT_GT(files, 20u);  // the file rolled many times
  size_t missing = 0;
  size_t repeated = 0;
  for (int t = 0; t < kThreads; t++) {
    for (unsigned i = 0; i < kRecords; i++) {
      missing += seen[t][i] == 0;
      repeated += seen[t][i] > 1;
    }
  }
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(repeated, 0u);
}
