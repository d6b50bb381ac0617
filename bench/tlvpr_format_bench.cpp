// tlvpr_snprintf against the C library's snprintf on log-line-like formats.
// Each format runs through both with the same arguments into the same buffer;
// compare the pairs' times (bytes/s are the produced text per second).

#include <stdio.h>

#include <benchmark/benchmark.h>

#include "tlvpr_format.h"

namespace {

using Formatter = int (*)(char *, size_t, const char *, ...);

int libc_snprintf(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
int libc_snprintf(char *buf, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int rc = vsnprintf(buf, size, format, args);
  va_end(args);
  return rc;
}

#pragma GCC diagnostic ignored "-Wformat-nonliteral"

// A complete record head and message, as the file sink writes it.
template <Formatter fmt>
void BM_LogRecord(benchmark::State &state) {
  char buf[512];
  size_t bytes = 0;
  for (auto _ : state) {
    int n = fmt(buf, sizeof buf, "%s (%s:%u.%u): [%u] Loaded %d rules and %d patterns from %s.\n",
                "Tue Dec 8 02:50:18 2026", "INFO", 41235u, 41240u, 10034u, 1523, 1601,
                "/opt/talvora/kelv");
    benchmark::DoNotOptimize(buf);
    bytes += (size_t)n;
  }
  state.SetBytesProcessed((int64_t)bytes);
}

// The rolled file name's time suffix.
template <Formatter fmt>
void BM_TimeSuffix(benchmark::State &state) {
  char buf[64];
  size_t bytes = 0;
  for (auto _ : state) {
    int n = fmt(buf, sizeof buf, "%s%c%s.%04d%02d%02d%02d%02d%s", "/var/log/talvora", '/', "hdrw",
                2004, 12, 7, 15, 0, ".log");
    benchmark::DoNotOptimize(buf);
    bytes += (size_t)n;
  }
  state.SetBytesProcessed((int64_t)bytes);
}

// A rule hit trace: integers with widths, hex and a cut text.
template <Formatter fmt>
void BM_RuleTrace(benchmark::State &state) {
  char buf[256];
  size_t bytes = 0;
  for (auto _ : state) {
    int n = fmt(buf, sizeof buf, "rule %6d weight %+4d flags %#06x line %-5u header %.24s|",
                120034, -25, 0x2a, 77u, "Received: from mail.example.org (mail.example.org [192.0.2.1])");
    benchmark::DoNotOptimize(buf);
    bytes += (size_t)n;
  }
  state.SetBytesProcessed((int64_t)bytes);
}

// Literal-heavy text with one conversion, as most catalog messages are.
template <Formatter fmt>
void BM_CatalogText(benchmark::State &state) {
  char buf[256];
  size_t bytes = 0;
  for (auto _ : state) {
    int n = fmt(buf, sizeof buf, "Null argument(s) passed to %s.", "tlvModInitModule: (regex filter)");
    benchmark::DoNotOptimize(buf);
    bytes += (size_t)n;
  }
  state.SetBytesProcessed((int64_t)bytes);
}

// A fixed-point figure (timing summaries): the digit generator against the C library's.
template <Formatter fmt>
void BM_Fixed(benchmark::State &state) {
  char buf[64];
  size_t bytes = 0;
  double v = 1234.5678;
  for (auto _ : state) {
    int n = fmt(buf, sizeof buf, "%.3f messages/s", v);
    benchmark::DoNotOptimize(buf);
    bytes += (size_t)n;
  }
  state.SetBytesProcessed((int64_t)bytes);
}

BENCHMARK_TEMPLATE(BM_LogRecord, tlvpr_snprintf);
BENCHMARK_TEMPLATE(BM_LogRecord, libc_snprintf);
BENCHMARK_TEMPLATE(BM_TimeSuffix, tlvpr_snprintf);
BENCHMARK_TEMPLATE(BM_TimeSuffix, libc_snprintf);
BENCHMARK_TEMPLATE(BM_RuleTrace, tlvpr_snprintf);
BENCHMARK_TEMPLATE(BM_RuleTrace, libc_snprintf);
BENCHMARK_TEMPLATE(BM_CatalogText, tlvpr_snprintf);
BENCHMARK_TEMPLATE(BM_CatalogText, libc_snprintf);
BENCHMARK_TEMPLATE(BM_Fixed, tlvpr_snprintf);
BENCHMARK_TEMPLATE(BM_Fixed, libc_snprintf);

}  // namespace

BENCHMARK_MAIN();
