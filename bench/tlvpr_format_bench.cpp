// tlvpr_snprintf against the C library's snprintf on log-line-like formats.
// Each format runs through both with the same arguments into the same buffer;
// compare the pairs' times (bytes/s are the produced text per second).

#include <stdio.h>

#include <benchmark/benchmark.h>

#include "tlvpr_format.h"

namespace {

using Formatter = int (*)(char *, size_t, const char *, ...);

int libc_snprintf(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int libc_snprintf(char *buf, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int rc = vsnprintf(buf, size, format, args);
  va_end(args);
  return rc;
}

#pragma GCC diagnostic ignored "-Wformat-nonliteral"

// The formats, each one call into a 512-byte buffer.
template <Formatter fmt>
int log_record(char *buf, size_t size) {  // a record head and message as the file sink writes it
  return fmt(buf, size, "%s (%s:%u.%u): [%u] Loaded %d rules and %d patterns from %s.\n",
             "Tue Dec 8 02:50:18 2026", "INFO", 41235u, 41240u, 10034u, 1523, 1601,
             "/opt/talvora/kelv");
}

template <Formatter fmt>
int time_suffix(char *buf, size_t size) {  // a rolled file name with its time suffix
  return fmt(buf, size, "%s%c%s.%04d%02d%02d%02d%02d%s", "/var/log/talvora", '/', "hdrw", 2004, 12,
             7, 15, 0, ".log");
}

template <Formatter fmt>
int rule_trace(char *buf, size_t size) {  // integers with widths, hex and a cut text
  return fmt(buf, size, "rule %6d weight %+4d flags %#06x line %-5u header %.24s|", 120034, -25,
             0x2a, 77u, "Received: from mail.example.org (mail.example.org [192.0.2.1])");
}

template <Formatter fmt>
int catalog_text(char *buf, size_t size) {  // literal text with one conversion
  return fmt(buf, size, "Null argument(s) passed to %s.", "tlvModInitModule: (regex filter)");
}

template <Formatter fmt>
int fixed_point(char *buf, size_t size) {  // the digit generator against the C library's
  return fmt(buf, size, "%.3f messages/s", 1234.5678);
}

template <int (*format_once)(char *, size_t)>
void BM_Format(benchmark::State &state) {
  char buf[512];
  size_t bytes = 0;
  for (auto _ : state) {
    bytes += (size_t)format_once(buf, sizeof buf);
    benchmark::DoNotOptimize(buf);
  }
  state.SetBytesProcessed((int64_t)bytes);
}

BENCHMARK_TEMPLATE(BM_Format, log_record<tlvpr_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, log_record<libc_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, time_suffix<tlvpr_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, time_suffix<libc_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, rule_trace<tlvpr_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, rule_trace<libc_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, catalog_text<tlvpr_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, catalog_text<libc_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, fixed_point<tlvpr_snprintf>);
BENCHMARK_TEMPLATE(BM_Format, fixed_point<libc_snprintf>);

}  // namespace

BENCHMARK_MAIN();
