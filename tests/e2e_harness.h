// e2e_harness - a server's world for the end-to-end suites: a load point with an
// encrypted rule file, a client certificate, a configuration file, a log file,
// and the real libhdrweights.so loaded through the reference host.
//
// ModuleWorld makes a temporary directory holding "cert.pem", "server.xml" and
// the load point "lp/" (rule file "lp/kelv"); it loads the plug-in from
// HDRW_MODULE_PATH and captures the log (threshold 7, log_capture.h). write_config
// writes the configuration (the clientCert element unless told otherwise, plus
// the given module settings), write_rules the encrypted rule file, make_host a
// host on them (freed with the world). log_lines gives the message texts of the
// records with a code, logged checks one record, log_count counts records of a
// level and code, log_text is the whole log. message() builds a message from
// header lines and a body. The log settings and the plug-in are process-wide:
// worlds must not run on parallel threads.
#ifndef TESTS_E2E_HARNESS_H
#define TESTS_E2E_HARNESS_H

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container_fixture.h"
#include "hdrw_host.h"
#include "log_capture.h"
#include "test_support.h"

namespace hdrw_test {

constexpr const char kRuleVersion2[] = "# version 04/18/2001/002\n";

// rule_line - one format-version-2 rule line with its LF
inline std::string rule_line(int id, int weight, const char *type, const char *conjunction,
                             const std::string &pattern) {
  char head[32];
  snprintf(head, sizeof(head), "%010d%03d%s%s", id, weight, type, conjunction);
  return head + pattern + "\n";
}

// The rule base most suites use: three single-line rules and one two-line rule.
inline std::string sample_rules() {
  return std::string(kRuleVersion2) + "# sample rules\n" +
         rule_line(1001, 60, "001", "&-", "^Subject:.*free money") +
         rule_line(1002, 50, "001", "&-", "^From:.*@bulk\\.example") +
         rule_line(1003, -20, "001", "&-", "^X-Trusted: yes") +
         rule_line(1004, 0, "005", "&+", "^Subject:.*offer") +
         rule_line(1004, 30, "005", "&.", "^To:.*undisclosed");
}

class ModuleWorld {
 public:
  ModuleWorld() {
    cert_path = dir.file("cert.pem");
    config_path = dir.file("server.xml");
    load_point = dir.file("lp");
    rule_path = load_point + "/kelv";
    write_file(cert_path, "-----BEGIN CERTIFICATE-----\nnot parsed, any bytes\n");
    key = fixture_key_from_cert(read_file(cert_path));
    EXPECT_EQ(mkdir(load_point.c_str(), 0700), 0);
    char why[512];
    EXPECT_EQ(hdrw_plugin_load(HDRW_MODULE_PATH, &plugin, why, sizeof(why)), 0u) << why;
  }
  ~ModuleWorld() {
    for (HdrwHost *host : hosts) hdrw_host_free(host);
    hdrw_plugin_unload(plugin);
  }
  ModuleWorld(const ModuleWorld &) = delete;
  ModuleWorld &operator=(const ModuleWorld &) = delete;

  void write_config(const std::string &module_settings = "", bool with_cert = true,
                    const std::string &cert = "") {
    std::string xml = "<?xml version=\"1.0\"?>\n<server>\n";
    if (with_cert)
      xml += "  <package name=\"serverPackage\"><clientCert>" + (cert.empty() ? cert_path : cert) +
             "</clientCert></package>\n";
    xml += "  <modules><module name=\"hdrweights\">" + module_settings + "</module></modules>\n";
    xml += "</server>\n";
    write_file(config_path, xml);
  }
  void write_rules(const std::string &plain) { write_rule_file(rule_path, plain, key); }

  HdrwHost *make_host(int32_t threshold = 100, const char *load = nullptr, bool null_load = false) {
    HdrwHost *host = nullptr;
    EXPECT_EQ(
        hdrw_host_create(&host, plugin, null_load ? nullptr : (load ? load : load_point.c_str()),
                         config_path.c_str(), threshold),
        0u);
    if (host != nullptr) hosts.push_back(host);
    return host;
  }

  // The message texts of the records with code, in order.
  std::vector<std::string> log_lines(uint32_t code) const { return log.messages(code); }
  bool logged(int level, uint32_t code, const std::string &text) const {
    return log.contains(level, code, text);
  }
  size_t log_count(const char *level_name, uint32_t code) const {
    size_t n = 0;
    for (const LogRecord &record : log.records())
      n += record.level == level_name && record.code == (int64_t)code;
    return n;
  }
  std::string log_text() const {
    std::string text;
    for (const std::string &line : log.lines()) text += line + "\n";
    return text;
  }
  // Empties the log so a test sees only what follows.
  void clear_log() { log.clear(); }

  TempDir dir;
  std::string cert_path, config_path, load_point, rule_path, key;
  LogCapture log;  // every record, debug traces included
  HdrwPlugin *plugin = nullptr;
  std::vector<HdrwHost *> hosts;
};

// message - header lines (each given without its line end) and a body
inline std::string message(const std::vector<std::string> &headers, const std::string &body = "") {
  std::string text;
  for (const std::string &h : headers) text += h + "\n";
  return text + "\n" + body;
}

// header_length - bytes of a message's header block, its first empty line included
inline size_t header_length(const std::string &text) {
  size_t end = text.find("\n\n");
  return end == std::string::npos ? text.size() : end + 2;
}

struct Outcome {
  uint32_t rc = 0;
  int32_t spam = 0;
  int32_t score = 0;
  std::vector<std::pair<int32_t, int32_t>> hits;
  uint32_t error = 0;  // the verdict's error code
  bool operator==(const Outcome &other) const {
    return rc == other.rc && spam == other.spam && score == other.score && hits == other.hits &&
           error == other.error;
  }
};

// evaluate - one message through the host, its verdict copied out
inline Outcome evaluate(const HdrwHost *host, void *instance, const std::string &text,
                        size_t header_len, HdrwVerdict *verdict) {
  Outcome out;
  out.rc = hdrw_host_evaluate(host, instance, text.data(), text.size(), header_len, verdict);
  out.spam = verdict->spam;
  out.score = verdict->score;
  out.error = verdict->error;
  for (uint32_t i = 0; i < verdict->hit_count; i++)
    out.hits.emplace_back(verdict->hits[i].rule_id, verdict->hits[i].weight);
  return out;
}

inline Outcome evaluate(const HdrwHost *host, void *instance, const std::string &text) {
  HdrwVerdict verdict;
  hdrw_verdict_init(&verdict);
  Outcome out = evaluate(host, instance, text, header_length(text), &verdict);
  hdrw_verdict_free(&verdict);
  return out;
}

}  // namespace hdrw_test

#endif
