// Tests of the reference host's own parts: plug-in loading failures, host
// contexts, argument checks and log levels. Its work with the real module is
// covered by the end-to-end suites.
#include "hdrw_host.h"

#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "test_support.h"
#include "tvr_log.h"

using namespace hdrw_test;

TEST(HostPlugin, LoadFailuresNameTheReason) {
  HdrwPlugin *plugin = nullptr;
  char why[512];
  EXPECT_EQ(hdrw_plugin_load("/nonexistent/libhdrweights.so", &plugin, why, sizeof(why)), 10019u);
  EXPECT_NE(std::string(why).find("/nonexistent/libhdrweights.so"), std::string::npos);
  EXPECT_EQ(plugin, nullptr);

  // A real library that is no plug-in: the first missing entry point is named.
  std::string shared = std::string(HDRW_BINARY_DIR) + "/bin/libtvrshareddata.so";
  EXPECT_EQ(hdrw_plugin_load(shared.c_str(), &plugin, why, sizeof(why)), 10019u);
  EXPECT_NE(std::string(why).find("tlvModInitModule"), std::string::npos);
  EXPECT_EQ(plugin, nullptr);

  EXPECT_EQ(hdrw_plugin_load(nullptr, &plugin, why, sizeof(why)), 10040u);
  EXPECT_EQ(hdrw_plugin_load(HDRW_MODULE_PATH, nullptr, nullptr, 0), 10040u);
  ASSERT_EQ(hdrw_plugin_load(HDRW_MODULE_PATH, &plugin, nullptr, 0), 0u);
  hdrw_plugin_unload(plugin);
  hdrw_plugin_unload(nullptr);
}

TEST(HostContext, CreationFailuresHandOutNothing) {
  HdrwPlugin *plugin = nullptr;
  ASSERT_EQ(hdrw_plugin_load(HDRW_MODULE_PATH, &plugin, nullptr, 0), 0u);
  TempDir dir;
  HdrwHost *host = nullptr;
  EXPECT_EQ(hdrw_host_create(&host, plugin, "/lp", dir.file("missing.xml").c_str(), 100), 21020u);
  write_file(dir.file("broken.xml"), "<server><unclosed></server>");
  EXPECT_EQ(hdrw_host_create(&host, plugin, "/lp", dir.file("broken.xml").c_str(), 100), 21016u);
  EXPECT_EQ(hdrw_host_create(&host, nullptr, "/lp", nullptr, 100), 10040u);
  EXPECT_EQ(hdrw_host_create(nullptr, plugin, "/lp", nullptr, 100), 10040u);
  EXPECT_EQ(host, nullptr);

  uint64_t needed = fault_loop([&] {
    HdrwHost *made = nullptr;
    uint32_t rc = hdrw_host_create(&made, plugin, "/lp", nullptr, 100);
    EXPECT_TRUE(rc == 0 || (rc == 10013 && made == nullptr));
    hdrw_host_free(made);
  });
  EXPECT_GE(needed, 2u);

  ASSERT_EQ(hdrw_host_create(&host, plugin, "/lp", nullptr, 100), 0u);
  HdrwVerdict verdict;
  hdrw_verdict_init(&verdict);
  const char text[] = "Subject: x\n\n";
  int anything = 0;
  EXPECT_EQ(hdrw_host_evaluate(nullptr, &anything, text, 12, 12, &verdict), 10040u);
  EXPECT_EQ(hdrw_host_evaluate(host, nullptr, text, 12, 12, &verdict), 10040u);
  EXPECT_EQ(hdrw_host_evaluate(host, &anything, nullptr, 12, 0, &verdict), 10040u);
  EXPECT_EQ(hdrw_host_evaluate(host, &anything, text, 12, 13, &verdict), 10040u);
  EXPECT_EQ(hdrw_host_evaluate(host, &anything, text, 12, 12, nullptr), 10040u);
  EXPECT_EQ(verdict.hit_count, 0u);
  EXPECT_EQ(hdrw_host_init(nullptr, nullptr), nullptr);
  hdrw_host_free(host);
  hdrw_host_free(nullptr);
  hdrw_plugin_unload(plugin);
}

TEST(HostLog, LevelsFromKeywordsAndNumbers) {
  struct Row {
    const char *text;
    uint32_t rc;
    int32_t level;
  } rows[] = {
      {"TVR_LOG_ALERT", 0, 1},
      {"TVR_LOG_ERR", 0, 3},
      {"TVR_LOG_WARNING", 0, 4},
      {"TVR_LOG_NOTICE", 0, 5},
      {"TVR_LOG_INFO", 0, 6},
      {"TVR_LOG_DEBUG", 0, 7},
      {"debug", 0, 7},
      {"Error", 0, 3},
      {"0", 0, 0},
      {"7", 0, 7},
      {"8", 21017, -1},
      {"TVR_LOG_BOGUS", 21017, -1},
      {"", 21017, -1},
      {"77", 21017, -1},
      {"TVR_LOG_", 21017, -1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    int32_t level = -1;
    EXPECT_EQ(hdrw_host_log_level(row.text, &level), row.rc);
    EXPECT_EQ(level, row.level);
  }
  int32_t level = 0;
  EXPECT_EQ(hdrw_host_log_level(nullptr, &level), 10040u);
  EXPECT_EQ(hdrw_host_log_level("7", nullptr), 10040u);
  EXPECT_EQ(hdrw_host_configure_log("stderr", 8), 10040u);
  EXPECT_EQ(hdrw_host_configure_log("stderr", -1), 10040u);
}

TEST(HostLog, ConfigureSendsRecordsUpToTheLevelToTheDestination) {
  LogCapture capture;  // restores quiet settings afterwards
  std::string path = capture.dir() + "/host.log";
  ASSERT_EQ(hdrw_host_configure_log(path.c_str(), TVR_LOG_WARNING), 0u);
  tvr_log(TVR_LOG_WARNING, 10092, "kept");
  tvr_log(TVR_LOG_NOTICE, 11013, 2u, 1u);  // above the threshold: dropped
  std::string text = read_file(path);
  EXPECT_NE(text.find("(WARNING:"), std::string::npos);
  EXPECT_NE(text.find("[10092] Bad value for config setting \"kept\""), std::string::npos);
  EXPECT_EQ(text.find("11013"), std::string::npos);
  // A log file that cannot be opened is told to the caller (the records go to
  // the system log meanwhile), for a missing directory and for a directory.
  EventCapture events;
  EXPECT_EQ(hdrw_host_configure_log((capture.dir() + "/none/host.log").c_str(), TVR_LOG_ERR),
            10056u);
  EXPECT_EQ(hdrw_host_configure_log(capture.dir().c_str(), TVR_LOG_ERR), 10056u);
  EXPECT_EQ(hdrw_host_configure_log("stderr", TVR_LOG_ERR), 0u);
}
