// The milter's units without libmilter: header block assembly, trusted
// networks, latency percentiles, and messages judged by the real module
// through milter_message and milter_rules (reloads, failures).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "milter_block.h"
#include "milter_message.h"
#include "milter_nets.h"
#include "milter_rules.h"
#include "milter_stats.h"
#include "tlvpr_mem.h"

namespace hdrw_test {
namespace {

std::string block_text(const MilterBlock &block) { return std::string(block.bytes, block.length); }

TEST(MilterBlock, RebuildsTheBytesTheClientSent) {
  struct Row {
    const char *name;
    std::vector<std::pair<const char *, const char *>> headers;
    int leadspc;
    std::string want;
  };
  const Row rows[] = {
      {"leading space kept",
       {{"Subject", " hi"}, {"To", "\tx@y"}},
       1,
       "Subject: hi\r\nTo:\tx@y\r\n\r\n"},
      {"no space after the colon", {{"Subject", "hi"}}, 1, "Subject:hi\r\n\r\n"},
      {"space put back without the option", {{"Subject", "hi"}}, 0, "Subject: hi\r\n\r\n"},
      {"empty value", {{"Subject", ""}}, 1, "Subject:\r\n\r\n"},
      {"folds become CR LF", {{"To", " a,\n\tb,\n  c"}}, 1, "To: a,\r\n\tb,\r\n  c\r\n\r\n"},
      {"a CR before a fold stays", {{"X", " a\r\n b"}}, 1, "X: a\r\r\n b\r\n\r\n"},
      {"8-bit bytes pass",
       {{"Subject", " f\xC3\xBCr \xFF"}},
       1,
       "Subject: f\xC3\xBCr \xFF\r\n\r\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    MilterBlock block = {};
    for (const auto &[name, value] : row.headers)
      ASSERT_EQ(milter_block_append(&block, name, value, row.leadspc), 0u);
    ASSERT_EQ(milter_block_finish(&block), 0u);
    EXPECT_EQ(block_text(block), row.want);
    EXPECT_EQ(block.full_length, row.want.size());
    EXPECT_EQ(block.cut, 0);
    milter_block_free(&block);
  }
}

TEST(MilterBlock, StaysWithinItsLimitAndKeepsWholeHeaders) {
  MilterBlock block = {};
  std::string value(5000, 'v');
  uint64_t want_full = 2;
  for (int k = 0; k < 300; ++k) {  // 1.5 MB of headers
    ASSERT_EQ(milter_block_append(&block, "X-Filler", value.c_str(), 1), 0u);
    want_full += 9 + value.size() + 2;
  }
  ASSERT_EQ(milter_block_finish(&block), 0u);
  EXPECT_EQ(block.cut, 1);
  EXPECT_EQ(block.full_length, want_full);
  EXPECT_LE(block.length, (uint32_t)MILTER_BLOCK_MAX);
  EXPECT_EQ(block.length % (9 + value.size() + 2), 2u);  // whole headers, then the empty line
  milter_block_free(&block);
}

TEST(MilterBlock, HitsTextFoldsBefore78Columns) {
  std::vector<HdrwHit> hits;
  for (int k = 0; k < 40; ++k)
    hits.push_back({k % 2 ? -2147483647 - 1 : 1000000 + k, k % 2 ? -5 : 40});
  std::vector<char> out(hits.size() * MILTER_BLOCK_HITS_ROOM + 8);
  ASSERT_EQ(milter_block_hits(out.data(), out.size(), hits.data(), (uint32_t)hits.size(), 1), 0u);
  std::string text = std::string("X-Hdrweights-Hits:") + out.data();
  std::string joined;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 78u);
    joined += text.substr(start, end - start) + " ";
    EXPECT_EQ(text[end + 1], '\t');
  }
  EXPECT_LE(text.size() - start, 78u);
  joined += text.substr(start);
  EXPECT_NE(joined.find(" 2147483648:-5 1000002:40 "), std::string::npos) << joined;
  EXPECT_EQ(milter_block_hits(out.data(), out.size() - 1, hits.data(), (uint32_t)hits.size(), 1),
            10040u);
}

// address - a socket address of an IPv4 or IPv6 text
sockaddr_storage address(const char *text) {
  sockaddr_storage a = {};
  if (inet_pton(AF_INET, text, &((sockaddr_in *)&a)->sin_addr) == 1) {
    a.ss_family = AF_INET;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, &((sockaddr_in6 *)&a)->sin6_addr), 1) << text;
    a.ss_family = AF_INET6;
  }
  return a;
}

TEST(MilterNets, MatchesPrefixesOfBothFamilies) {
  struct Row {
    const char *list;
    const char *client;
    int want;
  };
  const Row rows[] = {
      {"192.0.2.0/24", "192.0.2.255", 1},
      {"192.0.2.0/24", "192.0.3.0", 0},
      {"10.1.2.3/8", "10.200.0.1", 1},
      {"192.0.2.7", "192.0.2.7", 1},
      {"192.0.2.7", "192.0.2.8", 0},
      {"192.0.2.0/24", "::ffff:192.0.2.9", 1},
      {"2001:db8::/32", "2001:db8:ffff::1", 1},
      {"2001:db8::/32", "2001:db9::1", 0},
      {" 10.0.0.0/8 , 2001:db8::/33 ", "2001:db8:7fff::1", 1},
      {"2001:db8::/33", "2001:db8:8000::1", 0},
      {"0.0.0.0/0", "203.0.113.1", 1},
      {"0.0.0.0/0", "2001:db8::1", 0},
      {"::/0", "2001:db8::1", 1},
      {"192.0.2.128/25", "192.0.2.127", 0},
      {"", "192.0.2.1", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.list) + " " + row.client);
    MilterNets *nets = nullptr;
    ASSERT_EQ(milter_nets_parse(row.list, &nets, nullptr, 0), 0u);
    sockaddr_storage client = address(row.client);
    EXPECT_EQ(milter_nets_match(nets, (const sockaddr *)&client), row.want);
    milter_nets_free(nets);
  }
  for (const char *bad : {"10.0.0.0/33", "2001:db8::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0",
                          "10.0.0.0,,10.1.0.0", "host.example", "10.0.0.0/8x"}) {
    SCOPED_TRACE(bad);
    MilterNets *nets = nullptr;
    char why[64];
    EXPECT_EQ(milter_nets_parse(bad, &nets, why, sizeof why), 10040u);
    EXPECT_EQ(nets, nullptr);
    EXPECT_NE(std::string(bad).find(why), std::string::npos);
  }
}

TEST(MilterStats, PercentilesAreWithinOneBucketOfTheTruth) {
  MilterStats stats{};
  for (uint64_t v = 1; v <= 1000; ++v) milter_stats_latency(&stats, v * 1000);  // 1 us .. 1 ms
  uint64_t p50 = milter_stats_percentile(&stats, 500), p99 = milter_stats_percentile(&stats, 990);
  EXPECT_GE(p50, 500000u);
  EXPECT_LE(p50, 500000u * 17 / 16);
  EXPECT_GE(p99, 990000u);
  EXPECT_LE(p99, 1000000u);  // never above the maximum
  char line[512];
  milter_stats_format(&stats, line, sizeof line);
  EXPECT_NE(std::string(line).find("max=1000.0us"), std::string::npos) << line;
}

// A world with the sample rules (1001 "free money" 60, 1002 "@bulk.example" 50).
class MilterRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.write_config();
    world.write_rules(sample_rules());
    ASSERT_EQ(milter_rules_open(&rules, world.plugin, world.load_point.c_str(),
                                world.config_path.c_str(), 100, nullptr, 0),
              0u);
  }
  void TearDown() override { milter_rules_close(rules); }

  // judge - one message of two headers; the decision's texts and reply
  std::string judge(MilterMessage &message, MilterStats &stats,
                    const MilterPolicy &policy = {MILTER_REJECT, "x"}) {
    milter_message_header(&message, "Subject", " free money");
    milter_message_header(&message, "From", " x@bulk.example");
    milter_message_judge(&message, &policy, "Q1", &stats);
    const MilterDecision &d = message.decision;
    return std::string(d.status) + "|" + (d.hits ? d.hits : "-") + "|" + std::to_string(d.reply);
  }

  ModuleWorld world;
  MilterRules *rules = nullptr;
};

TEST_F(MilterRulesTest, MessagesFinishOnTheRulesTheyStartedWith) {
  MilterStats stats{};
  MilterMessage before = {}, after = {};
  before.leadspc = after.leadspc = 1;
  milter_message_begin(&before, rules, 0);

  std::string changed = sample_rules();
  changed.replace(changed.find("0000001001060"), 13, "0000001001061");  // rule 1001 weighs 61
  world.write_rules(changed + "# another size\n");
  MilterReloadOutcome outcome;
  ASSERT_EQ(milter_rules_reload(rules, &outcome, nullptr, 0), 0u);
  EXPECT_EQ(outcome, MILTER_RELOAD_NEW);
  milter_message_begin(&after, rules, 0);

  // A broken rule file: the current rules keep serving.
  write_file(world.rule_path, "not a rule file\n");
  EXPECT_EQ(milter_rules_reload(rules, &outcome, nullptr, 0), (uint32_t)MILTER_RULES_REFUSED);
  EXPECT_EQ(outcome, MILTER_RELOAD_FAILED);

  EXPECT_EQ(judge(before, stats), " Yes, score=110 threshold=100| 1001:60 1002:50|1");
  milter_message_end(&before, 0, &stats);  // frees the first rules: its last message
  EXPECT_EQ(judge(after, stats), " Yes, score=111 threshold=100| 1001:61 1002:50|1");
  milter_message_end(&after, 0, &stats);

  MilterMessage third = {};
  third.leadspc = 1;
  milter_message_begin(&third, rules, 0);
  EXPECT_EQ(judge(third, stats), " Yes, score=111 threshold=100| 1001:61 1002:50|1");
  milter_message_free(&third, &stats);
  milter_message_free(&before, &stats);
  milter_message_free(&after, &stats);
  EXPECT_EQ(milter_stats_get(&stats, MILTER_STAT_REJECTED), 3u);
  EXPECT_EQ(milter_stats_get(&stats, MILTER_STAT_ABORTED), 0u);

  // Unchanged configuration and rule file: the same instance.
  world.write_rules(sample_rules());
  ASSERT_EQ(milter_rules_reload(rules, &outcome, nullptr, 0), 0u);
  ASSERT_EQ(milter_rules_reload(rules, &outcome, nullptr, 0), 0u);
  EXPECT_EQ(outcome, MILTER_RELOAD_SAME);
}

TEST_F(MilterRulesTest, AFailureOnAMessagePassesItAsNotSpamAndCountsIt) {
  // The judgement with every allocation failing in turn, of the host and of
  // the module: the message is judged right or passes as an error, counted once.
  uint64_t errors_seen = 0;
  fault_loop([&] {
    MilterStats stats{};
    MilterMessage message = {};
    message.leadspc = 1;
    world.clear_log();
    milter_message_begin(&message, rules, 0);
    std::string got = judge(message, stats);
    milter_message_free(&message, &stats);  // also the close of a connection mid-message
    uint64_t errors = milter_stats_get(&stats, MILTER_STAT_ERRORS);
    errors_seen += errors;
    EXPECT_EQ(milter_stats_get(&stats, MILTER_STAT_MESSAGES), 1u);
    EXPECT_EQ(milter_stats_get(&stats, MILTER_STAT_ABORTED), 0u);
    if (errors == 1) {
      EXPECT_EQ(got, " No, score=0 threshold=100|-|0");
      EXPECT_NE(world.log_text().find("message Q1: not evaluated, code "), std::string::npos);
    } else {
      // Judged: spam, and rejected. (Short of memory the module may drop a hit
      // record, and the milter the hits header, logging either.)
      EXPECT_TRUE(got.rfind(" Yes, score=", 0) == 0 && got.back() == '1') << got;
    }
  });
  EXPECT_GT(errors_seen, 0u);
  MilterStats stats{};
  MilterMessage message = {};
  message.leadspc = 1;
  milter_message_begin(&message, rules, 0);
  EXPECT_EQ(judge(message, stats), " Yes, score=110 threshold=100| 1001:60 1002:50|1");
  milter_message_free(&message, &stats);
}

}  // namespace
}  // namespace hdrw_test
