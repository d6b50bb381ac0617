// Tests of load_rules: the rule file format, the field checks in their order,
// removal of invalid runs, the counts, strict mode, encrypted files and every
// out-of-memory path of a load.
#include "load_rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container_fixture.h"
#include "encryption.h"
#include "log_capture.h"
#include "test_support.h"
#include "tlvpr_mem.h"

namespace {

using hdrw_test::LogCapture;
using hdrw_test::TempDir;

constexpr char kV1[] = "# version 03/30/1998/001\n";
constexpr char kV2[] = "# version 04/18/2001/002\n";
constexpr char kKey[] = "00112233445566778899AABBCCDDEEFF";

// How many records of one level and code were logged.
size_t logged(const LogCapture &log, int level, uint32_t code) {
  const char *const names[] = {"DEBUG", "ALERT", "DEBUG", "ERROR", "WARNING", "NOTICE", "INFO"};
  size_t count = 0;
  for (const hdrw_test::LogRecord &record : log.records()) {
    count += record.level == names[level] && record.code == code ? 1 : 0;
  }
  return count;
}

// The debug traces written from one source line ("unit.cpp:123"), without
// their "[path:line] " prefix.
std::vector<std::string> traces(const LogCapture &log, const std::string &site) {
  std::vector<std::string> texts;
  for (const std::string &message : log.messages(TVR_LOG_NO_CODE)) {
    const size_t at = message.find(site + "] ");
    if (message[0] == '[' && at != std::string::npos) {
      texts.push_back(message.substr(at + site.size() + 2));
    }
  }
  return texts;
}

// Rule IDs of a loaded rule base, in list order; also checks the back links.
std::vector<int32_t> ids_of(const RuleBase *rb) {
  std::vector<int32_t> ids;
  const RuleLine *previous = nullptr;
  for (const RuleLine *line = rb->first; line != nullptr; line = line->next) {
    EXPECT_EQ(line->previous, previous);
    EXPECT_EQ(line->flags, static_cast<uint32_t>(RULE_LINE_VALID | RULE_LINE_LOCKED));
    EXPECT_EQ(line->compile_status, 0u);
    ids.push_back(line->rule_id);
    previous = line;
  }
  return ids;
}

class LoadRules : public ::testing::Test {
 protected:
  // Writes plain text to a file and loads it with encryption type 0.
  uint32_t load_plain(const std::string &text, int strict = 0) {
    const std::string path = dir_.file("kelv");
    hdrw_test::write_file(path, text);
    return load_file(path, TLV_ENC_PLAIN, "", strict);
  }

  uint32_t load_file(const std::string &path, int type, const char *key, int strict) {
    FILE *stream = fopen(path.c_str(), "r");
    EXPECT_NE(stream, nullptr);
    if (stream == nullptr) {
      return 0xFFFFFFFFu;
    }
    rulebase_free(rb_);
    rb_ = reinterpret_cast<RuleBase *>(0x1);  // must be reset by the load
    const uint32_t rc = rulebase_load(&rb_, stream, key, type, strict);
    fclose(stream);
    if (rc != 0) {
      EXPECT_EQ(rb_, nullptr);
      rb_ = nullptr;
    }
    return rc;
  }

  void TearDown() override { rulebase_free(rb_); }

  TempDir dir_;
  LogCapture log_;
  RuleBase *rb_ = nullptr;
};

TEST_F(LoadRules, VersionLineOnlyLoadsAnEmptyRuleBase) {
  ASSERT_EQ(load_plain(kV2), 0u);
  EXPECT_EQ(rb_->format_version, 2);
  EXPECT_EQ(rb_->first, nullptr);
  EXPECT_TRUE(log_.contains(6, 29029, "Rules loaded = 0, regexs loaded = 0."));
  ASSERT_EQ(load_plain(kV1), 0u);
  EXPECT_EQ(rb_->format_version, 1);
}

TEST_F(LoadRules, VersionLineFailures) {
  struct Row {
    const char *text;
    uint32_t reader_code;  // code logged at level 3 by the version reader
  };
  const Row rows[] = {
      {"# version 04/18/2001/002\r\n", 29005},  // CR stays part of the line
      {"# version 04/18/2001/003\n", 29005},   {"# Version 04/18/2001/002\n", 29005},
      {"# version 04/18/2001/002", 29004},  // no LF
      {"\n0000000001050001&-x\n", 29005},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    log_.clear();
    EXPECT_EQ(load_plain(row.text), 29015u);
    EXPECT_TRUE(logged(log_, 3, row.reader_code) > 0);
    EXPECT_TRUE(log_.contains(6, 29015, "Cannot read version strings."));
    EXPECT_TRUE(log_.contains(3, 29028, "Cannot load rule base."));
    EXPECT_TRUE(log_.messages(29029).empty());
  }
}

TEST_F(LoadRules, EmptyPlainFileFailsInDecryption) {
  EXPECT_EQ(load_plain(""), 1u);
  EXPECT_TRUE(log_.contains(3, 29026, "Could not decrypt rule file."));

  // Parsed directly, an empty text ends at the version line.
  log_.clear();
  const std::string path = dir_.file("empty");
  hdrw_test::write_file(path, "");
  FILE *stream = fopen(path.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  RuleBase *rb = nullptr;
  EXPECT_EQ(rulebase_parse(stream, &rb, 0), 29015u);
  fclose(stream);
  EXPECT_EQ(rb, nullptr);
  EXPECT_TRUE(log_.contains(3, 10034, "End of file encountered."));
  EXPECT_TRUE(log_.contains(6, 29015, "Cannot read version strings."));
}

TEST_F(LoadRules, FormatVersionSetsTheIdWidth) {
  const std::string line = "001234050001&-^Subject:.*x\n";
  ASSERT_EQ(load_plain(kV1 + line), 0u);
  ASSERT_NE(rb_->first, nullptr);
  EXPECT_EQ(rb_->first->rule_id, 1234);
  EXPECT_EQ(rb_->first->weight, 50);
  EXPECT_EQ(rb_->first->rule_type, static_cast<uint32_t>(RULE_TYPE_SINGLE));
  EXPECT_EQ(rb_->first->conjunction, static_cast<uint32_t>(RULE_CONJ_MORE));
  EXPECT_EQ(rb_->first->name_hash, hdrw_test::kNameHashSubject);

  // Version 2 reads ID 12340500 and weight "01&", then fails on the type "-^S".
  RuleLine *made = nullptr;
  RuleLineCheck check = {};
  ASSERT_EQ(rulebase_make_line("001234050001&-^Subject:.*x", 2, &made, &check), 0u);
  EXPECT_EQ(check.code, 29013u);
  EXPECT_EQ(made->rule_id, 12340500);
  EXPECT_EQ(made->weight, 1);
  EXPECT_EQ(made->flags & RULE_LINE_VALID, 0u);
  rulebase_free_line(made);
}

// Every field check, in its order, and the pattern compile: the code and the
// fields stored before the failure (the ID decides which run is removed).
TEST_F(LoadRules, FieldChecksInOrder) {
  struct Row {
    const char *text;
    uint32_t code;
    int32_t id;  // rule ID stored in the record
  };
  const Row rows[] = {
      {"000000001", 29007, 0},
      {" #0000001", 29007, 0},  // not a comment: "#" is not in column 1
      {"0000000000050001&-^Subject:x", 29008, 0},
      {"abcdefghij050001&-x", 29008, 0},
      {"0000000007", 29009, 7},
      {"000000000705", 29009, 7},
      {"0000000007050", 29009, 7},
      {"000000000705000", 29009, 7},
      {"0000000007050001", 29010, 7},
      {"0000000007050001&", 29010, 7},
      {"0000000007050001&+x", 29011, 7},
      {"0000000007050001&.x", 29011, 7},
      {"0000000007050005&-x", 29012, 7},
      {"0000000007050005&&x", 29012, 7},
      {"0000000007050002&-x", 29013, 7},
      {"0000000007050 01&-x", 29013, 7},
      {"0000000007050001&-", 29014, 7},
      {"0000000007050005&.", 29014, 7},
      {"0000000007050001&-^Subject:(x", 29018, 7},
      {"0000000007050001&-a{2,1}", 29018, 7},
      {"0000000007050001&-x", 0, 7},
      {"      -007050001&-x", 0, -7},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    RuleLine *made = nullptr;
    RuleLineCheck check = {};
    ASSERT_EQ(rulebase_make_line(row.text, 2, &made, &check), 0u);
    EXPECT_EQ(check.code, row.code);
    EXPECT_EQ(made->rule_id, row.id);
    EXPECT_EQ((made->flags & RULE_LINE_VALID) != 0, row.code == 0);
    if (row.code == 0 || row.code == 29018) {
      EXPECT_EQ(check.pattern_offset, 18u);
      EXPECT_EQ(made->flags & RULE_LINE_LOCKED, static_cast<uint32_t>(RULE_LINE_LOCKED));
      EXPECT_EQ(check.regx_result == 0, row.code == 0);
      EXPECT_EQ(made->compile_status, check.regx_result);
    } else {
      EXPECT_EQ(made->flags, 0u);
      EXPECT_EQ(made->compile_status, 1u);
    }
    rulebase_free_line(made);
  }
}

// Non-strict: the bad line is reported at level 6 and dropped; strict: at level
// 3, and the load fails with 29016.
TEST_F(LoadRules, ReportLevelFollowsStrict) {
  struct Row {
    const char *line;
    uint32_t code;
    const char *text;
  };
  const Row rows[] = {
      {"000000001\n", 29007, "Rule too short: rule ID."},
      {"0000000000050001&-^Subject:x\n", 29008, "Bad rule ID."},
      {"000000000705\n", 29009, "Rule too short: rule weight."},
      {"0000000007050001&\n", 29010, "Rule too short: rule conjunction."},
      {"0000000007050001&+x\n", 29011, "Bad conjunction on a single line rule."},
      {"0000000007050005&-x\n", 29012, "Bad conjunction on a multi line rule."},
      {"0000000007050003&-x\n", 29013, "Bad rule type."},
      {"0000000007050001&-\n", 29014, "Rule too short: no regex."},
      {"0000000007050001&-^Subject:(x\n", 29018,
       "Bad regular expression: ( ) or \\( \\) imbalance: ^Subject:(x: 7."},
  };
  const std::string good = "0000000002010001&-^From:.*\n";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line);
    log_.clear();
    ASSERT_EQ(load_plain(kV2 + good + row.line + good), 0u);
    EXPECT_EQ(ids_of(rb_), (std::vector<int32_t>{2, 2}));
    EXPECT_TRUE(log_.contains(6, row.code, row.text));
    EXPECT_TRUE(log_.contains(6, 29029, "Rules loaded = 2, regexs loaded = 2."));

    log_.clear();
    EXPECT_EQ(load_plain(kV2 + good + row.line + good, 1), 29016u);
    EXPECT_TRUE(log_.contains(3, row.code, row.text));
    EXPECT_FALSE(logged(log_, 6, row.code) > 0);
    EXPECT_TRUE(log_.contains(6, 29016, "Cannot read next rule from file."));
    EXPECT_TRUE(log_.contains(3, 29028, "Cannot load rule base."));
  }
}

TEST_F(LoadRules, StrictReadRuleGivesTheFieldCodeOr29028) {
  struct Row {
    const char *text;
    uint32_t status;
  };
  const Row rows[] = {
      {"0000000007050003&-x\n", 29013},
      {"0000000007050001&-(\n", 29028},
      {"0000000007050001&-x\n", 0},
      {"# comment\n", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    FILE *stream = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(stream, nullptr);
    RuleLine *line = nullptr;
    EXPECT_EQ(rulebase_read_rule(2, 1, stream, &line), row.status);
    if (row.status == 0 && text[0] != '#') {
      ASSERT_NE(line, nullptr);
      EXPECT_EQ(line->rule_id, 7);
    } else {
      EXPECT_EQ(line, nullptr);
    }
    rulebase_free_line(line);
    EXPECT_EQ(rulebase_read_rule(2, 1, stream, &line), 10034u);
    fclose(stream);
  }
}

TEST_F(LoadRules, WeightsReadLikeAtoi) {
  struct Row {
    const char *weight;
    int32_t value;
  };
  const Row rows[] = {{"050", 50}, {"-10", -10}, {"000", 0}, {"  5", 5},
                      {"abc", 0},  {"+7x", 7},   {"9-9", 9}, {" -0", 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.weight);
    const std::string text = std::string("0000000001") + row.weight + "001&-x";
    RuleLine *made = nullptr;
    RuleLineCheck check = {};
    ASSERT_EQ(rulebase_make_line(text.c_str(), 2, &made, &check), 0u);
    EXPECT_EQ(check.code, 0u);
    EXPECT_EQ(made->weight, row.value);
    rulebase_free_line(made);
  }
}

TEST_F(LoadRules, CommentsBlankLinesAndTheLastLine) {
  const std::string text = std::string(kV2) +
                           "# a comment\n"
                           "\n"
                           " \t\r\v\f\n"
                           "#0000000009050001&-x\n"
                           "0000000001050001&-^Subject:.*x\r\n"
                           "0000000002050001&-^From:";  // last line without LF
  ASSERT_EQ(load_plain(text), 0u);
  EXPECT_EQ(ids_of(rb_), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(rb_->first->next->name_hash, hdrw_test::kNameHashFrom);
  EXPECT_TRUE(log_.contains(6, 29029, "Rules loaded = 2, regexs loaded = 2."));
  EXPECT_EQ(rulebase_line_is_rule(" #x"), 1);
  EXPECT_EQ(rulebase_line_is_rule(""), 0);
}

TEST(RuleNameHash, LiteralHeaderNames) {
  struct Row {
    const char *pattern;
    uint32_t hash;
  };
  const Row rows[] = {
      {"^Subject:.*x", hdrw_test::kNameHashSubject},
      {"Subject:.*x", hdrw_test::kNameHashSubject},
      {"^From:", hdrw_test::kNameHashFrom},
      {"^X-Mailer: x", hdrw_test::name_hash_of("X-Mailer")},
      {"^(From|To):", 0},
      {"^Subject\\:", 0},
      {"^:", 0},
      {"^Subject", 0},  // no ":"
      {"^^Subject:", 0},
      {"^Sub ject:", 0},
      {"", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pattern);
    EXPECT_EQ(rule_name_hash(row.pattern), row.hash);
  }
  EXPECT_EQ(rule_name_hash(nullptr), 0u);
}

// A rule file with every kind of bad line, loaded non-strict: exactly the runs
// around the bad lines go, the others stay, and the counts say so.
TEST_F(LoadRules, EveryKindOfBadLineIsDroppedWithItsRun) {
  const std::string text = std::string(kV2) +
                           "0000000001010001&-^Subject:.*a\n"  // kept
                           "0000000002010005&+^From:.*b\n"     // multi-line 2: kept
                           "0000000002020005&+^To:.*c\n"
                           "0000000002030005&.^Subject:.*d\n"
                           "0000000003010005&+^From:.*e\n"  // multi-line 3, bad pattern
                           "0000000003020005&.^Subject:(f\n"
                           "000000004\n"                        // 29007, ID 0
                           "0000000000010001&-x\n"              // 29008, ID 0
                           "0000000005010001&-^X-A:.*\n"        // kept: ID 5, not adjacent
                           "0000000006010001&-^X-B:.*\n"        // dropped: shares ID 6 with
                           "0000000006\n"                       // 29009, ID 6
                           "0000000007010001&-^X-C:.*\n"        // kept
                           "0000000008010001&\n"                // 29010
                           "0000000009010001&+x\n"              // 29011
                           "0000000010010005&-x\n"              // 29012
                           "0000000011010007&-x\n"              // 29013
                           "0000000012010001&-\n"               // 29014
                           "0000000013010005&+^A:.*\n"          // multi-line 13 with its
                           "0000000013010005&+x{3\n"            // bad middle line, and a
                           "0000000013010005&.^B:.*\n"          // neighbouring single
                           "0000000013010001&-^C:.*\n"          // line of the same ID
                           "0000000014010001&-^Subject:.*z\n";  // kept
  ASSERT_EQ(load_plain(text), 0u);
  EXPECT_EQ(ids_of(rb_), (std::vector<int32_t>{1, 2, 2, 2, 5, 7, 14}));
  for (uint32_t code : {29007u, 29008u, 29009u, 29010u, 29011u, 29012u, 29013u, 29014u}) {
    EXPECT_TRUE(logged(log_, 6, code) > 0) << code;
  }
  EXPECT_EQ(logged(log_, 6, 29018), 2u);
  // One trace per removed run (the two ID-0 lines form one run).
  EXPECT_EQ(traces(log_, "load_rules.cpp:871"), (std::vector<std::string>{
                                                    "removing invalid rule: 3",
                                                    "removing invalid rule: 0",
                                                    "removing invalid rule: 6",
                                                    "removing invalid rule: 8",
                                                    "removing invalid rule: 9",
                                                    "removing invalid rule: 10",
                                                    "removing invalid rule: 11",
                                                    "removing invalid rule: 12",
                                                    "removing invalid rule: 13",
                                                }));
  EXPECT_TRUE(log_.contains(6, 29029, "Rules loaded = 5, regexs loaded = 7."));
}

TEST_F(LoadRules, CountsRulesAndPatterns) {
  ASSERT_EQ(
      load_plain(std::string(kV2) + "0000000001010005&+^A:x\n"
                                    "0000000001010005&+^B:x\n"
                                    "0000000001020005&.^C:x\n"
                                    "0000000002010001&-^D:x\n"
                                    "0000000003010005&+^E:x\n"),  // unterminated: counts as no rule
      0u);
  uint32_t rules = 10;
  uint32_t patterns = 20;
  EXPECT_EQ(rulebase_count(rb_, &rules, &patterns), 0u);
  EXPECT_EQ(rules, 12u);
  EXPECT_EQ(patterns, 25u);
  EXPECT_EQ(rulebase_count(nullptr, &rules, &patterns), 0u);
  EXPECT_EQ(rules, 12u);
  EXPECT_EQ(rulebase_count(rb_, nullptr, &patterns), 10040u);
  EXPECT_TRUE(log_.contains(6, 29029, "Rules loaded = 2, regexs loaded = 5."));
}

TEST_F(LoadRules, EncryptedFileLoadsLikeItsPlainText) {
  std::string text = kV2;
  for (int id = 1; id <= 300; ++id) {  // several 8 KB chunks of ciphertext
    char line[64];
    snprintf(line, sizeof line, "%010d%03d001&-^X-Rule-%d:.*value %d\n", id, id % 100, id, id);
    text += line;
  }
  const std::string path = dir_.file("kelv");
  hdrw_test::write_rule_file(path, text, kKey);
  ASSERT_EQ(load_file(path, TLV_ENC_DES_BASE64, kKey, 0), 0u);
  EXPECT_EQ(ids_of(rb_).size(), 300u);
  EXPECT_EQ(rb_->first->next->weight, 2);
  EXPECT_TRUE(log_.contains(6, 29029, "Rules loaded = 300, regexs loaded = 300."));

  // A wrong key gives garbage text: the version line is not recognised.
  log_.clear();
  EXPECT_EQ(load_file(path, TLV_ENC_DES_BASE64, "FFEEDDCCBBAA99887766554433221100", 0), 29015u);
  EXPECT_TRUE(logged(log_, 3, 29028) > 0);
  // A key text the container refuses fails the decryption.
  log_.clear();
  EXPECT_EQ(load_file(path, TLV_ENC_DES_BASE64, "123", 0), 1u);
  EXPECT_TRUE(log_.contains(3, 29026, "Could not decrypt rule file."));
}

TEST_F(LoadRules, BadArgumentsLogNothing) {
  std::string text = kV2;
  FILE *stream = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  RuleBase *rb = reinterpret_cast<RuleBase *>(0x1);
  EXPECT_EQ(rulebase_load(&rb, stream, "", -1, 0), 10040u);
  EXPECT_EQ(rb, nullptr);
  rb = reinterpret_cast<RuleBase *>(0x1);
  EXPECT_EQ(rulebase_load(&rb, nullptr, "", 0, 0), 10040u);
  EXPECT_EQ(rb, nullptr);
  EXPECT_EQ(rulebase_load(nullptr, stream, "", 0, 0), 10040u);
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(rulebase_parse(nullptr, &rb, 0), 10040u);
  EXPECT_TRUE(log_.contains(6, 10040, "Bad argument passed to function."));
  fclose(stream);
  EXPECT_EQ(rulebase_free(nullptr), 0u);
  rulebase_free_line(nullptr);
}

TEST_F(LoadRules, LoadPathRetriesThenGivesUp) {
  hdrw_test::HookGuard hooks;
  hdrw_test::SleepRecorder::install();
  RuleBase *rb = reinterpret_cast<RuleBase *>(0x1);
  EXPECT_EQ(rulebase_load_path(&rb, dir_.file("missing").c_str(), "", 0, 0), 29024u);
  EXPECT_EQ(rb, nullptr);
  EXPECT_EQ(hdrw_test::SleepRecorder::sleeps(), (std::vector<uint32_t>{500, 1000, 2000, 4000}));
  EXPECT_TRUE(log_.contains(3, 29024, "Cannot open rule file."));
  EXPECT_EQ(rulebase_load_path(&rb, nullptr, "", 0, 0), 10040u);

  // The file appears after the second attempt.
  const std::string path = dir_.file("late");
  hdrw_test::SleepRecorder::install();
  hdrw_test::SleepRecorder::on_sleep([&](size_t index) {
    if (index == 1) {
      hdrw_test::write_file(path, std::string(kV2) + "0000000001050001&-x\n");
    }
  });
  ASSERT_EQ(rulebase_load_path(&rb, path.c_str(), "", 0, 0), 0u);
  EXPECT_EQ(hdrw_test::SleepRecorder::sleeps(), (std::vector<uint32_t>{500, 1000}));
  EXPECT_EQ(ids_of(rb), (std::vector<int32_t>{1}));
  rulebase_free(rb);
}

// Every allocation of a load fails in turn: the load then fails with a
// documented code and leaves nothing, or succeeds with every rule (a failed
// allocation never just drops a rule).
TEST_F(LoadRules, OutOfMemoryLeavesNothingHalfMade) {
  const std::string text = std::string(kV2) +
                           "0000000001050001&-^Subject:.*(free|cheap) [a-z]+\n"
                           "0000000002010005&+^From:.*b{2,4}\n"
                           "0000000002030005&.^To:.*c\n"
                           "0000000003050001&-(\n"
                           "0000000004050001&-^Received: from [[:alnum:].-]+\n";
  for (int type : {TLV_ENC_PLAIN, TLV_ENC_DES_BASE64}) {
    SCOPED_TRACE(type);
    const std::string path = dir_.file("oom");
    if (type == TLV_ENC_PLAIN) {
      hdrw_test::write_file(path, text);
    } else {
      hdrw_test::write_rule_file(path, text, kKey);
    }
    int failures = 0;
    const uint64_t needed = hdrw_test::fault_loop([&] {
      FILE *stream = fopen(path.c_str(), "r");
      ASSERT_NE(stream, nullptr);
      RuleBase *rb = reinterpret_cast<RuleBase *>(0x1);
      const uint32_t rc = rulebase_load(&rb, stream, kKey, type, 0);
      fclose(stream);
      if (rc == 0) {
        EXPECT_EQ(ids_of(rb), (std::vector<int32_t>{1, 2, 2, 4}));
      } else {
        ++failures;
        EXPECT_EQ(rb, nullptr);
        EXPECT_TRUE(rc == 1 || rc == 29015 || rc == 29016 || rc == 29025 || rc == 10013 ||
                    rc == 10003)
            << rc;
      }
      rulebase_free(rb == reinterpret_cast<RuleBase *>(0x1) ? nullptr : rb);
    });
    EXPECT_GT(needed, 8u);
    EXPECT_GT(failures, 0);
  }
}

}  // namespace
