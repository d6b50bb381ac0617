// Out-of-memory paths across units: every allocation of an operation fails in
// turn (hdrw_test::fault_loop), and the operation must end with its documented
// code, hand out nothing half-made, leave its shared state usable and leak
// nothing (LeakSanitizer checks the last part in the sanitizer build). The
// units' own suites cover their single calls; this suite covers the paths they
// leave open: decryption of every stored form through streams and buffers, log
// settings applied to a log file, the number and boolean getters, and rule
// loading of the stored forms, format versions and the strict mode that the
// loader's suite does not run out of memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "container_fixture.h"
#include "encryption.h"
#include "load_rules.h"
#include "log_capture.h"
#include "test_support.h"
#include "tlv_tmpfile.h"
#include "tlvpr_mem.h"
#include "tvr_base64.h"
#include "tvr_config.h"
#include "tvr_log.h"
#include "tvr_log_settings.h"
#include "tvrshareddata.h"

using hdrw_test::EventCapture;
using hdrw_test::TempDir;

namespace {

const char *const kKey32 = "8F4A0C2B19D3E7665A1B2C3D4E5F6071";
const char *const kKey16 = "0123456789ABCDEF";

// A plain rule text of about 20 KB: several DES chunks and Base64 lines.
std::string rule_text() {
  std::string text = "# version 04/18/2001/002\n";
  for (int i = 1; text.size() < 20000; i++) {
    char line[96];
    snprintf(line, sizeof line, "%010d%03d001&-^Subject:.*offer number %d\n", i, i % 100, i);
    text += line;
  }
  return text;
}

// The stored form of plain for an encryption type, made with OpenSSL directly.
std::string stored_form(const std::string &plain, int type, const char *key) {
  switch (type) {
    case TLV_ENC_PLAIN:
      return plain;
    case TLV_ENC_BASE64:
      return hdrw_test::fixture_base64_lines(plain);
    case TLV_ENC_DES_BASE64:
      return hdrw_test::fixture_rule_file(plain, key);
    default:
      return hdrw_test::fixture_container(plain, key);
  }
}

}  // namespace

// tlvDecrypt and tlvDecryptBuffer of every type and key length: a run either
// gives exactly the plain text, or fails with a documented code and hands out
// nothing (the buffer output stays untouched; a failing stream decryption logs
// its reason, as the rule loader relies on).
TEST(OomDecrypt, EveryTypeStreamAndBuffer) {
  const std::string plain = rule_text();
  for (const char *key : {kKey32, kKey16}) {
    for (int type : {TLV_ENC_PLAIN, TLV_ENC_BASE64, TLV_ENC_DES_BASE64, TLV_ENC_DES}) {
      SCOPED_TRACE(std::string(key) + " type " + std::to_string(type));
      const std::string stored = stored_form(plain, type, key);
      hdrw_test::LogCapture log;
      hdrw_test::fault_loop([&] {
        log.clear();
        FILE *source = hdrw_test::fixture_stream(stored);
        FILE *target = nullptr;
        ASSERT_EQ(tlv_tmpfile_open(&target), 0u);
        uint32_t rc = tlvDecrypt(source, target, key, type);
        rewind(target);
        std::string out = hdrw_test::fixture_stream_rest(target);
        fclose(target);
        fclose(source);
        if (rc == 0) {
          EXPECT_EQ(out == plain, true);
        } else {
          EXPECT_TRUE(rc == 1 || rc == 10003 || rc == 10044) << rc;
          EXPECT_FALSE(log.lines().empty());
        }
      });
      uint64_t failures = 0;
      uint64_t needed = hdrw_test::fault_loop([&] {
        unsigned char *out = reinterpret_cast<unsigned char *>(0x1);
        size_t out_len = 12345;
        uint32_t rc = tlvDecryptBuffer(stored.data(), stored.size(), key, type, &out, &out_len);
        if (rc == 0) {
          EXPECT_EQ(std::string(reinterpret_cast<char *>(out), out_len) == plain, true);
          tlvpr_free(out);
        } else {
          failures++;
          EXPECT_EQ(rc, 10013u);
          EXPECT_EQ(out, reinterpret_cast<unsigned char *>(0x1));
          EXPECT_EQ(out_len, 12345u);
        }
      });
      EXPECT_GT(needed, 0u);  // every buffer form allocates its result
      EXPECT_EQ(failures, needed);
    }
  }
}

// A log file destination with rolling fields, applied while an allocation
// fails: the settings-text copy failing keeps the threshold (10001), the path
// copy failing keeps the old name fields (10001 and 10081); the file is opened
// in every case, and records then land in it.
TEST(OomLogSettings, FileDestinationStaysUsable) {
  TempDir dir;
  EventCapture events;
  hdrw_test::HookGuard hooks;
  int run = 0;
  int parse_failures = 0;
  int split_failures = 0;
  tvr_log_apply_settings("syslog", "ALL,7,0|DAY|0");
  hdrw_test::fault_loop([&] {
    tvr_log_apply_settings("syslog", "TVR_LOG_DEBUG");  // needs no memory
    events.clear();
    std::string name = "hdrw-" + std::to_string(++run) + ".log";
    std::string path = dir.file(name);
    tvr_log_configure(path.c_str(), "5", "2", "HOUR", "4");
    const TvrLogSettings &s = tvr_shared_log_settings;
    std::string logged;
    for (const std::string &line : events.lines()) {
      hdrw_test::LogRecord r;
      ASSERT_TRUE(hdrw_test::parse_log_line(line, &r)) << line;
      logged += std::to_string(r.code) + ";";
    }
    ASSERT_NE(s.stream, nullptr);
    EXPECT_STREQ(s.path, path.c_str());
    if (s.threshold == 7) {
      parse_failures++;
      EXPECT_EQ(logged, "10001;");
    } else if (strcmp(s.base_name, name.c_str()) != 0) {
      split_failures++;
      EXPECT_EQ(logged, "10001;10081;");
      EXPECT_EQ(s.threshold, 5);
    } else {
      EXPECT_EQ(logged, "");
      EXPECT_EQ(s.roll_seconds, 7200);
      EXPECT_EQ(s.keep_count, 4);
    }
    tvr_log(TVR_LOG_NOTICE, 29029, 1u, 1u);
    EXPECT_NE(hdrw_test::read_file(path).find("[29029] Rules loaded = 1, regexs loaded = 1."),
              std::string::npos);
  });
  hdrw_test::quiet_log();
  EXPECT_EQ(parse_failures, 1);
  EXPECT_EQ(split_failures, 1);
}

// The number and boolean getters convert the first match in place: no
// allocation of ours can fail them, so every run gives the value.
TEST(OomConfigGetters, NumbersAndBooleansNeedNoHeap) {
  TempDir dir;
  hdrw_test::write_file(dir.file("server.xml"),
                        "<server><modules><module name='hdrweights'>"
                        "<maxHeaderLength> 1024</maxHeaderLength><offset>-17</offset>"
                        "<enabled>TRUE</enabled></module></modules></server>");
  ConfigHandle *config = nullptr;
  ASSERT_EQ(tvr_config_open(&config, dir.file("server.xml").c_str()), 0u);
  const struct {
    const char *name;
    std::function<void()> op;
  } rows[] = {
      {"uint",
       [&] {
         uint32_t v = 0;
         EXPECT_EQ(tvr_config_get_uint(&v, "//module[@name='hdrweights']/maxHeaderLength", config),
                   0u);
         EXPECT_EQ(v, 1024u);
       }},
      {"int",
       [&] {
         int32_t v = 0;
         EXPECT_EQ(tvr_config_get_int(&v, "//offset", config), 0u);
         EXPECT_EQ(v, -17);
       }},
      {"bool",
       [&] {
         int v = 0;
         EXPECT_EQ(tvr_config_get_bool(&v, "//enabled", config), 0u);
         EXPECT_EQ(v, 1);
       }},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(hdrw_test::fault_loop(row.op), 0u);
  }
  tvr_config_free(config);
}

// rulebase_load of every stored form, both format versions and both modes:
// a load either holds every rule of the file, or fails with a documented code
// and stores nothing (a failed allocation never just drops a rule).
TEST(OomRuleLoad, EveryFormVersionAndMode) {
  const std::string v2 = std::string("# version 04/18/2001/002\n# rules\n") +
                         "0000000001050001&-^Subject:.*(free|cheap) [a-z]+\n"
                         "0000000002010005&+^From:.*b{2,4}\n"
                         "0000000002030005&.^To:.*c\n"
                         "\n"
                         "0000000004-20001&-^Received: from [[:alnum:].-]+\n";
  const std::string v1 = std::string("# version 03/30/1998/001\n") +
                         "000001050001&-^Subject:.*(free|cheap) [a-z]+\n"
                         "000002010005&+^From:.*b{2,4}\n"
                         "000002030005&.^To:.*c\n"
                         "000004-20001&-^Received: from [[:alnum:].-]+\n";
  TempDir dir;
  for (const std::string *text : {&v2, &v1}) {
    for (int type : {TLV_ENC_PLAIN, TLV_ENC_BASE64, TLV_ENC_DES_BASE64, TLV_ENC_DES}) {
      for (int strict : {0, 1}) {
        SCOPED_TRACE(text->substr(0, 24) + " type " + std::to_string(type) + " strict " +
                     std::to_string(strict));
        const std::string path = dir.file("kelv");
        hdrw_test::write_file(path, stored_form(*text, type, kKey32));
        int failures = 0;
        uint64_t needed = hdrw_test::fault_loop([&] {
          FILE *stream = fopen(path.c_str(), "r");
          ASSERT_NE(stream, nullptr);
          RuleBase *rb = reinterpret_cast<RuleBase *>(0x1);
          uint32_t rc = rulebase_load(&rb, stream, kKey32, type, strict);
          fclose(stream);
          if (rc == 0) {
            std::vector<int32_t> ids;
            for (const RuleLine *line = rb->first; line != nullptr; line = line->next) {
              ids.push_back(line->rule_id * 1000 + line->weight);
            }
            EXPECT_EQ(ids, (std::vector<int32_t>{1050, 2010, 2030, 3980}));
            EXPECT_EQ(rb->format_version, text == &v2 ? 2 : 1);
            rulebase_free(rb);
          } else {
            failures++;
            EXPECT_EQ(rb, nullptr);
            EXPECT_TRUE(rc == 10013 || rc == 29015 || rc == 29016 || rc == 29025 || rc == 1) << rc;
          }
        });
        EXPECT_GT(needed, 10u);
        // Not every failure fails the load: the line reader keeps its larger
        // buffer when shrinking it fails, and the load then holds every rule.
        EXPECT_GT(failures, 0);
      }
    }
  }
}
