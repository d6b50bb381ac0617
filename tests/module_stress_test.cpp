// Concurrency test of the plug-in: many host threads evaluate messages on one
// shared instance and get exactly what one thread gets (run under ThreadSanitizer
// in CI).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"

using namespace hdrw_test;

TEST(ModuleStress, EightThreadsOnOneInstanceAgreeWithOne) {
  ModuleWorld world;
  world.write_config();
  world.write_rules(sample_rules());
  ASSERT_EQ(hdrw_host_configure_log(world.log.path().c_str(), 5), 0u);  // keep the log small
  HdrwHost *host = world.make_host(0);
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);

  const std::vector<std::vector<std::string>> kinds = {
      {"Subject: lunch", "From: a@b.example"},
      {"From: x@bulk.example", "Subject: free money now"},
      {"Subject: free money", "X-Trusted: yes"},
      {"Subject: special offer", "To: undisclosed-recipients:;"},
      {"Subject: special offer", "To: bob@example.org", "X-Trusted: yes"},
      {"Subject: free", " money", "X-Long: " + std::string(900, 'q')},
  };
  std::vector<std::string> messages;
  for (int i = 0; i < 240; i++) {
    std::vector<std::string> headers = kinds[i % kinds.size()];
    headers.push_back("Message-ID: <" + std::to_string(i) + "@example.org>");
    messages.push_back(message(headers, "body " + std::to_string(i) + "\n"));
    // Every seventh message has CR-only line ends: the module fails on it, and
    // only the thread that evaluates it may see that.
    if (i % 7 == 3) messages.back() = "Subject: free money\rX-Id: " + std::to_string(i) + "\r\r";
  }
  std::vector<Outcome> want;
  for (const std::string &text : messages) want.push_back(evaluate(host, instance, text));
  ASSERT_EQ(want[3].error, 10047u);

  const int kThreads = 8;
  std::vector<std::vector<Outcome>> got(kThreads, std::vector<Outcome>(messages.size()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      HdrwVerdict verdict;
      hdrw_verdict_init(&verdict);
      for (size_t k = 0; k < messages.size(); k++) {
        size_t i = (k + (size_t)t * 31) % messages.size();  // threads start at different messages
        got[t][i] = evaluate(host, instance, messages[i], header_length(messages[i]), &verdict);
      }
      hdrw_verdict_free(&verdict);
    });
  }
  for (std::thread &thread : threads) thread.join();
  for (int t = 0; t < kThreads; t++) {
    SCOPED_TRACE(t);
    EXPECT_EQ(got[t], want);
  }
  hdrw_host_free_instance(host, instance);
}
