// End-to-end tests of the module's settings: the limits and the client
// certificate read from a real configuration file by the loaded module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "regex_filter.h"

using namespace hdrw_test;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { world.write_rules(sample_rules()); }
  ModuleWorld world;
};

}  // namespace

TEST_F(SettingsTest, LimitsAreTakenOrKeepTheirDefaults) {
  struct Row {
    const char *settings;
    uint32_t header, total, backtracks;
    size_t bad_values;   // level-4 lines 10092
    size_t too_few = 0;  // level-3 lines 10092: a maxBackTracks kept although no use
  } rows[] = {
      {"", 768, 32768, 25000, 0},
      {"<maxBackTracks>0</maxBackTracks>", 768, 32768, 0, 0, 1},
      {"<maxBackTracks>99</maxBackTracks>", 768, 32768, 99, 0, 1},
      {"<maxBackTracks>100</maxBackTracks>", 768, 32768, 100, 0, 0},
      {"<maxHeaderLength>100</maxHeaderLength><maxTotalHeadersLength>2000</maxTotalHeadersLength>"
       "<maxBackTracks>40000</maxBackTracks>",
       100, 2000, 40000, 0},
      {"<maxBackTracks>lots</maxBackTracks>", 768, 32768, 25000, 1},
      {"<maxBackTracks>-5</maxBackTracks>", 768, 32768, 25000, 1},
      {"<maxBackTracks>  +40000</maxBackTracks>", 768, 32768, 40000, 0},
      {"<maxBackTracks>40000 </maxBackTracks>", 768, 32768, 40000, 0},
      {"<maxBackTracks>40000\n</maxBackTracks>", 768, 32768, 40000, 0},
      {"<maxBackTracks>40000x</maxBackTracks>", 768, 32768, 25000, 1},
      {"<maxTotalHeadersLength>0</maxTotalHeadersLength>", 768, 0, 25000, 0},
      {"<maxHeaderLength>4294967295</maxHeaderLength>", 4294967295u, 32768, 25000, 0},
      {"<maxHeaderLength>4294967296</maxHeaderLength>", 768, 32768, 25000, 1},
      {"<maxHeaderLength></maxHeaderLength>", 768, 32768, 25000, 0},  // empty = absent
      {"<maxHeaderLength>x</maxHeaderLength><maxTotalHeadersLength>y</maxTotalHeadersLength>"
       "<maxBackTracks>z</maxBackTracks>",
       768, 32768, 25000, 3},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.settings);
    world.write_config(row.settings);
    world.clear_log();
    HdrwHost *host = world.make_host();
    ModuleInstance *instance = (ModuleInstance *)hdrw_host_init(host, nullptr);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance->max_header_length, row.header);
    EXPECT_EQ(instance->max_total_headers_length, row.total);
    EXPECT_EQ(instance->max_back_tracks, row.backtracks);
    EXPECT_EQ(instance->key_type, 2);
    EXPECT_EQ(std::string(instance->key), world.key);
    EXPECT_EQ(std::string(instance->rule_file_path), world.rule_path);
    EXPECT_EQ(world.log_lines(10092).size(), row.bad_values + row.too_few);
    EXPECT_EQ(world.log_count("WARNING", 10092), row.bad_values);
    EXPECT_EQ(world.log_count("ERROR", 10092), row.too_few);
    hdrw_host_free_instance(host, instance);
  }
}

TEST_F(SettingsTest, BadLimitsAreReportedInReadingOrder) {
  // Written in another order than the module reads them.
  world.write_config(
      "<maxBackTracks>z</maxBackTracks><maxTotalHeadersLength>y</maxTotalHeadersLength>"
      "<maxHeaderLength>x</maxHeaderLength>");
  world.clear_log();
  HdrwHost *host = world.make_host();
  ModuleInstance *instance = (ModuleInstance *)hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  std::vector<std::string> lines = world.log_lines(10092);
  const char *names[] = {"maxHeaderLength", "maxTotalHeadersLength", "maxBackTracks"};
  ASSERT_EQ(lines.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_TRUE(
        world.logged(TVR_LOG_WARNING, 10092,
                     std::string("Bad value for config setting \"//module[@name='hdrweights']/") +
                         names[i] + "\""));
    EXPECT_NE(lines[i].find(std::string("/") + names[i] + "\""), std::string::npos) << lines[i];
  }
  hdrw_host_free_instance(host, instance);
}

TEST_F(SettingsTest, ALoadPointWithATrailingSeparatorDoublesIt) {
  world.write_config();
  std::string load = world.load_point + "/";
  HdrwHost *host = world.make_host(100, load.c_str());
  ModuleInstance *instance = (ModuleInstance *)hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(std::string(instance->rule_file_path), world.load_point + "//kelv");
  hdrw_host_free_instance(host, instance);
}

TEST_F(SettingsTest, WithoutAUsableCertificateNoInstanceButLimitsAreStillRead) {
  struct Row {
    const char *name;
    bool with_cert;
    std::string cert;
    uint32_t cert_code;  // the line logged for the certificate
    const char *cert_text;
  } rows[] = {
      {"no clientCert", false, "", 10089,
       "Missing mandatory config setting \"//package[@name='serverPackage']/clientCert\""},
      {"missing certificate file", true, "/nonexistent/cert.pem", 27115,
       "read_junkdam_config: //package[@name='serverPackage']/clientCert missing settings."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    world.write_config("<maxBackTracks>many</maxBackTracks>", row.with_cert, row.cert);
    world.clear_log();
    HdrwHost *host = world.make_host();
    EXPECT_EQ(hdrw_host_init(host, nullptr), nullptr);
    EXPECT_EQ(world.log_lines(row.cert_code).size(), 1u);
    EXPECT_TRUE(world.logged(TVR_LOG_ERR, row.cert_code, row.cert_text));
    EXPECT_TRUE(world.logged(
        TVR_LOG_WARNING, 10092,
        "Bad value for config setting \"//module[@name='hdrweights']/maxBackTracks\""));
    EXPECT_EQ(world.log_lines(11010).size(), 1u);
    EXPECT_TRUE(world.log_lines(10019).empty());  // the rule file was not opened
    // The certificate line comes before the limit's, and both before 11010.
    std::string log = world.log_text();
    EXPECT_LT(log.find("[" + std::to_string(row.cert_code) + "] "), log.find("[10092] "));
    EXPECT_LT(log.find("[10092] "), log.find("[11010] "));
  }
}

TEST_F(SettingsTest, NoConfigurationHandleFailsTheInitialisation) {
  HdrwHost *host = nullptr;
  ASSERT_EQ(hdrw_host_create(&host, world.plugin, world.load_point.c_str(), nullptr, 100), 0u);
  world.clear_log();
  EXPECT_EQ(hdrw_host_init(host, nullptr), nullptr);
  std::vector<std::string> lines = world.log_lines(10090);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("clientCert"), std::string::npos);
  EXPECT_TRUE(world.log_lines(10092).empty());
  EXPECT_EQ(world.log_lines(11010).size(), 1u);
  hdrw_host_free(host);
}
