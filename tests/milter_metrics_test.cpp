// Tests of milter_metrics: the text format's label escaping and the
// evaluation-time histogram's buckets as a scrape shows them. The series as a
// whole are checked by a real Prometheus (tests/milter_prometheus.py).
#include "milter_metrics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "tlvpr_mem.h"

namespace {

TEST(MilterMetricsEscape, LabelValues) {
  struct Row {
    const char *text;
    size_t size;
    const char *want;
  } rows[] = {
      {"1.0.0", 64, "1.0.0"},
      {"a\\b", 64, "a\\\\b"},
      {"say \"hi\"", 64, "say \\\"hi\\\""},
      {"two\nlines", 64, "two\\nlines"},
      {"tab\tstays", 64, "tab\tstays"},
      {"", 64, ""},
      {"abc", 3, "ab"},        // cut to size, terminated
      {"ab\"c", 4, "ab"},      // an escape that does not fit whole is left out
      {"ab\"c", 5, "ab\\\""},  // one that fits is kept
      {"\\", 2, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    char out[64];
    size_t n = milter_metrics_escape(row.text, out, row.size);
    EXPECT_STREQ(out, row.want);
    EXPECT_EQ(n, std::string(row.want).size());
  }
  char untouched[4] = "xyz";
  EXPECT_EQ(milter_metrics_escape("abc", untouched, 0), 0u);
  EXPECT_STREQ(untouched, "xyz");
}

// bucket_counts - the le label and value of every bucket line of a scrape
std::map<std::string, uint64_t> bucket_counts(MilterMetrics *metrics, uint64_t *count,
                                              double *sum) {
  char *text = nullptr;
  size_t length = 0;
  EXPECT_EQ(milter_metrics_format(metrics, &text, &length), 0u);
  std::map<std::string, uint64_t> out;
  std::istringstream lines(std::string(text, length));
  tlvpr_free(text);
  std::string line;
  const std::string bucket = "hdrweights_evaluation_seconds_bucket{le=\"";
  while (std::getline(lines, line)) {
    if (line.rfind(bucket, 0) == 0) {
      size_t end = line.find('"', bucket.size());
      out[line.substr(bucket.size(), end - bucket.size())] = std::stoull(line.substr(end + 3));
    } else if (line.rfind("hdrweights_evaluation_seconds_count ", 0) == 0) {
      *count = std::stoull(line.substr(line.find(' ') + 1));
    } else if (line.rfind("hdrweights_evaluation_seconds_sum ", 0) == 0) {
      *sum = std::strtod(line.c_str() + line.find(' ') + 1, nullptr);
    }
  }
  return out;
}

TEST(MilterMetricsHistogram, BucketsAreCumulativeWithInclusiveBounds) {
  // Each row: one evaluation time and the smallest le whose bucket counts it.
  struct Row {
    uint64_t ns;
    double le;  // 0 = only +Inf
  } rows[] = {{0, 1e-5},          {10000, 1e-5},   {10001, 2.5e-5},   {25000, 2.5e-5},
              {99999, 1e-4},      {1000000, 1e-3}, {1000001, 2.5e-3}, {7000000, 1e-2},
              {250000000, 0.25},  {999999999, 1},  {1000000000, 1},   {1000000001, 0},
              {UINT64_MAX / 2, 0}};
  MilterStats stats{};
  MilterMetrics *metrics = nullptr;
  ASSERT_EQ(milter_metrics_create(&metrics, &stats, 0, "test"), 0u);
  double want_sum = 0;
  for (const Row &row : rows) {
    milter_metrics_evaluated(metrics, row.ns, nullptr, 0);
    want_sum += (double)row.ns / 1e9;
  }
  uint64_t count = 0;
  double sum = 0;
  std::map<std::string, uint64_t> got = bucket_counts(metrics, &count, &sum);
  ASSERT_EQ(got.size(), (size_t)MILTER_METRICS_BUCKETS + 1);
  EXPECT_EQ(got["+Inf"], sizeof rows / sizeof rows[0]);
  EXPECT_EQ(count, got["+Inf"]);
  EXPECT_DOUBLE_EQ(sum, want_sum);
  for (const auto &[le, value] : got) {
    if (le == "+Inf") continue;
    SCOPED_TRACE(le);
    double bound = std::strtod(le.c_str(), nullptr);
    uint64_t want = 0;
    for (const Row &row : rows) want += row.le != 0 && row.le <= bound * (1 + 1e-9);
    EXPECT_EQ(value, want);
  }
  EXPECT_EQ(milter_metrics_bucket(0), 0u);
  EXPECT_EQ(milter_metrics_bucket(UINT64_MAX), (uint32_t)MILTER_METRICS_BUCKETS);
  milter_metrics_free(metrics);
}

}  // namespace
