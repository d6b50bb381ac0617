// Cost of the log call: a record dropped by the threshold, a record written to
// the log file (with and without the roll check), an event-log record with a
// no-op reporter, and as the peer the same line written with plain stdio
// (snprintf, fwrite, fflush) to a file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "tlvpr_hooks.h"
#include "tvr_log.h"
#include "tvr_log_settings.h"

namespace {

// A temporary directory for the log files of one benchmark.
struct BenchDir {
  BenchDir() {
    char templ[] = "/tmp/hdrw-bench-XXXXXX";
    path = mkdtemp(templ) != nullptr ? templ : "/tmp";
  }
  ~BenchDir() {
    hdrw_quiet();
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {
      fprintf(stderr, "cannot remove %s\n", path.c_str());
    }
  }
  static void hdrw_quiet() { tvr_log_configure("stderr", "0", "0", "DAY", "0"); }
  std::string path;
};

void BM_DroppedRecord(benchmark::State &state) {
  tvr_log_configure("stderr", "5", "0", "DAY", "0");
  unsigned n = 0;
  for (auto _ : state) {
    tvr_log(TVR_LOG_INFO, 29029, n++, 2u);
  }
  BenchDir::hdrw_quiet();
}
BENCHMARK(BM_DroppedRecord);

void BM_DroppedTrace(benchmark::State &state) {
  tvr_log_configure("stderr", "6", "0", "DAY", "0");
  int n = 0;
  for (auto _ : state) {
    tvr_log_trace(__FILE__, __LINE__, nullptr, "Current weight = %d", n++);
  }
  BenchDir::hdrw_quiet();
}
BENCHMARK(BM_DroppedTrace);

void BM_FileRecord(benchmark::State &state) {
  BenchDir dir;
  std::string path = dir.path + "/bench.log";
  // state.range(0): 1 = daily rolling configured (a roll check per record).
  tvr_log_configure(path.c_str(), "6", state.range(0) ? "1" : "0", "DAY", "0");
  unsigned n = 0;
  for (auto _ : state) {
    tvr_log(TVR_LOG_INFO, 29029, n++, 2u);
  }
}
BENCHMARK(BM_FileRecord)->Arg(0)->Arg(1);

void BM_PeerStdioRecord(benchmark::State &state) {
  BenchDir dir;
  std::string path = dir.path + "/peer.log";
  FILE *f = fopen(path.c_str(), "a+");
  unsigned n = 0;
  char line[4100];
  for (auto _ : state) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char stamp[64];
    strftime(stamp, sizeof stamp, "%d %b %Y %H:%M:%S", &tm);
    int len =
        snprintf(line, sizeof line, "%s (%s:%u.%u): [%u] Rules loaded = %u, regexs loaded = %u.\n",
                 stamp, "INFO", (unsigned)getpid(), (unsigned)gettid(), 29029u, n++, 2u);
    fwrite(line, 1, (size_t)len, f);
    fflush(f);
  }
  fclose(f);
}
BENCHMARK(BM_PeerStdioRecord);

void ignore_event(int, int, uint32_t, const char *) {}

void BM_EventRecord(benchmark::State &state) {
  void (*saved)(int, int, uint32_t, const char *) = tlvpr_hooks.report_event;
  tlvpr_hooks.report_event = ignore_event;
  tvr_log_configure("syslog", "6", "0", "DAY", "0");
  unsigned n = 0;
  for (auto _ : state) {
    tvr_log(TVR_LOG_INFO, 29029, n++, 2u);
  }
  BenchDir::hdrw_quiet();
  tlvpr_hooks.report_event = saved;
}
BENCHMARK(BM_EventRecord);

}  // namespace

BENCHMARK_MAIN();
