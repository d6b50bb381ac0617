// Concurrency test of kelh_engine: eight threads evaluate different messages
// against one shared rule base whose sets start without states, so the
// threads build them while others scan them; every verdict and hit list
// equals the one of a serial run of the plain walk. Run under ThreadSanitizer
// too (a state is published by one atomic store; the patterns are only read).
#include "kelh_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tlvpr_mem.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 6;
constexpr int32_t kThreshold = 150;  // some messages stop early, some stay below

struct Result {
  uint32_t rc = 0;
  int verdict = 0;
  std::vector<int32_t> hits;  // rule ID, weight, rule ID, weight, ...
  bool operator==(const Result &other) const {
    return rc == other.rc && verdict == other.verdict && hits == other.hits;
  }
};

// Rule text with header-name rules, rules for every line, multi-line rules and
// a pattern that runs into the backtrack limit on some messages.
std::string stress_rules() {
  const char *names[] = {"Subject", "From", "To", "Received", "X-Mailer", "Content-Type"};
  const char *words[] = {"free", "offer", "relay", "example", "meeting", "win", "bulk"};
  std::string text = "# version 04/18/2001/002\n";
  char line[160];
  for (int id = 1; id <= 240; ++id) {
    const char *name = names[id % 6];
    const char *word = words[id % 7];
    switch (id % 8) {
      case 0:
        snprintf(line, sizeof line, "%010d%03d001&-(%s|%s)[a-z]*\n", id, id % 17, word,
                 words[(id + 3) % 7]);
        break;
      case 1:
        snprintf(line, sizeof line, "%010d%03d005&+^%s:.*%s\n%010d%03d005&.^%s:\n", id, 0, name,
                 word, id, id % 23, names[(id + 1) % 6]);
        break;
      case 2:
        snprintf(line, sizeof line, "%010d%03d001&-^X-Mailer: (a|a)*c\n", id, 5);
        break;
      case 3:
        snprintf(line, sizeof line, "%010d-%02d001&-^%s:.*%s\n", id, id % 9, name, word);
        break;
      default:
        snprintf(line, sizeof line, "%010d%03d001&-^%s:.*%s\n", id, id % 31, name, word);
        break;
    }
    text += line;
  }
  return text;
}

std::vector<std::string> stress_messages() {
  std::mt19937 random(20261208);
  const char *names[] = {"Subject", "From", "To", "Received", "Content-Type", "subject"};
  const char *words[] = {"free", "offer", "relay", "example", "meeting", "win", "bulk", "hi"};
  const char *plain[] = {"hi", "lunch", "notes", "team", "hi", "lunch", "notes", "team"};
  std::vector<std::string> messages;
  for (int m = 0; m < 96; ++m) {
    const char **pool = m % 2 == 0 ? words : plain;  // odd messages match next to nothing
    std::string block;
    const int count = 2 + static_cast<int>(random() % 14);
    for (int h = 0; h < count; ++h) {
      block += names[random() % 6];
      block += ": ";
      block += pool[random() % 8];
      block += random() % 3 == 0 ? "\r\n\t" : " ";
      block += pool[random() % 8];
      block += "\r\n";
    }
    if (m % 5 == 0) {
      block += "X-Mailer: " + std::string(24, 'a') + "\n";
    }
    messages.push_back(block);
  }
  return messages;
}

int plain_match(void *, RuleLine *line, uint32_t, char *text, uint32_t length,
                uint32_t max_backtracks) {
  return match_header_line(&line->pattern, text, length, max_backtracks);
}

// One evaluation: rulebase_evaluate, or the plain walk with the matcher on every pair.
Result evaluate_one(const RuleBase *rb, const std::string &block, bool plain = false) {
  std::vector<char> buffer(block.begin(), block.end());
  RuleHit *hits = nullptr;
  Result result;
  const uint32_t length = static_cast<uint32_t>(buffer.size());
  result.rc = plain ? kelh_evaluate_with(buffer.data(), length, &hits, rb, kThreshold, 768, 2000,
                                         &result.verdict, plain_match, nullptr)
                    : rulebase_evaluate(buffer.data(), length, &hits, rb, kThreshold, 768, 2000,
                                        &result.verdict);
  for (const RuleHit *hit = hits; hit != nullptr; hit = hit->next) {
    result.hits.push_back(hit->rule_id);
    result.hits.push_back(hit->weight);
  }
  kelh_free_hits(hits);
  return result;
}

TEST(KelhEngineStress, ThreadsAgreeWithASerialRun) {
  std::string text = stress_rules();
  FILE *stream = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  RuleBase *rb = nullptr;
  ASSERT_EQ(rulebase_parse(stream, &rb, 1), 0u);
  fclose(stream);

  const std::vector<std::string> messages = stress_messages();
  std::vector<Result> serial;
  int spam = 0;
  for (const std::string &block : messages) {
    serial.push_back(evaluate_one(rb, block, true));
    spam += serial.back().verdict;
  }
  ASSERT_GT(spam, 0);
  ASSERT_LT(spam, static_cast<int>(messages.size()));

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Each thread starts at a different message and walks all of them, so
        // the same patterns are wanted by several threads at once.
        for (size_t k = 0; k < messages.size(); ++k) {
          const size_t m = (k + static_cast<size_t>(t) * 11) % messages.size();
          if (!(evaluate_one(rb, messages[m]) == serial[m])) {
            ++mismatches;
          }
        }
      }
    });
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  rulebase_free(rb);
}

}  // namespace
