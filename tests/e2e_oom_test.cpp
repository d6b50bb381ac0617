// Out-of-memory paths of the real plug-in (libhdrweights.so through the
// reference host) that its own suite leaves open: re-initialisation with a
// previous instance, and a server's whole cycle (configuration handle, message
// stores, instance, messages). The allocation counter lives in the shared data
// library, so it counts the module's allocations too. Every failure must end
// with no instance (or no verdict) and its documented log record, the previous
// instance must stay in service with its own rules, and a new instance must be
// complete: never one with rules silently missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "tlvpr_mem.h"

using namespace hdrw_test;

namespace {

// set_mtime - gives a file an explicit modification time
void set_mtime(const std::string &path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The message every instance here is asked about: it matches rules of both rule files.
std::string probe() {
  return message({"Received: from mx.bulk.example (mx [10.0.0.7])", "From: <deals@bulk.example>",
                  "To: undisclosed-recipients:;", "Subject: free money, a cheap offer",
                  "X-Mailer: Bulk Mailer"},
                 "body\n");
}

// The rule file of the second generation: the sample rules plus two more.
std::string newer_rules() {
  return sample_rules() + rule_line(1005, 15, "001", "&-", "^X-Mailer:.*[Bb]ulk") +
         rule_line(1006, 5, "001", "&-", "^Received: from [a-z.]+ ");
}

// The entry point's own failure record of one failed initialisation: the
// instance allocation, the settings or the rule base.
bool init_failure_logged(const ModuleWorld &world) {
  return world.log_count("ERROR", 10008) + world.log_count("ERROR", 11010) +
             world.log_count("ERROR", 11012) ==
         1;
}

// fault_each - fault_loop with the checks outside the armed window: armed() runs
// with allocation n failing, check() after the injection is switched off (so the
// previous instance is asked without a failure pending); returns the number of
// allocations armed() needs.
uint64_t fault_each(const std::function<void()> &armed, const std::function<void()> &check) {
  for (uint64_t n = 1; n < 100000; n++) {
    tlvpr_fault_arm(n);
    armed();
    uint64_t used = tlvpr_fault_disarm();
    check();
    if (used < n) {
      return used;
    }
  }
  ADD_FAILURE() << "fault_each did not converge";
  return 0;
}

class E2eOom : public ::testing::Test {
 protected:
  void SetUp() override {
    world.write_config();
    world.write_rules(sample_rules());
    set_mtime(world.rule_path, 1700000000);
  }
  ModuleWorld world;
  HookGuard hooks;
};

}  // namespace

// Re-initialising with the previous instance while an allocation fails: the
// reuse check (unchanged file) and the reload (a newer rule file). A failure
// gives null and leaves the previous instance answering with its own rules; a
// success gives the previous instance itself, or a new one with every new rule.
TEST_F(E2eOom, ReinitialisationKeepsThePreviousInstanceInService) {
  HdrwHost *host = world.make_host(0);
  void *first = hdrw_host_init(host, nullptr);
  ASSERT_NE(first, nullptr);
  const Outcome old_answer = evaluate(host, first, probe());
  ASSERT_EQ(old_answer.hits.size(), 3u);

  int failures = 0;
  void *again = nullptr;
  uint64_t needed = fault_each(
      [&] {
        world.clear_log();
        again = hdrw_host_init(host, first);
      },
      [&] {
        if (again == nullptr) {
          failures++;
          EXPECT_TRUE(init_failure_logged(world)) << world.log_text();
        } else {
          EXPECT_EQ(again, first);
          EXPECT_TRUE(world.log_lines(29029).empty());  // nothing was loaded
        }
        EXPECT_EQ(evaluate(host, first, probe()), old_answer);
      });
  EXPECT_GT(needed, 0u);
  EXPECT_EQ(failures, (int)needed);

  world.write_rules(newer_rules());
  set_mtime(world.rule_path, 1700000001);
  void *probe_instance = hdrw_host_init(host, first);
  ASSERT_NE(probe_instance, nullptr);
  const Outcome new_answer = evaluate(host, probe_instance, probe());
  hdrw_host_free_instance(host, probe_instance);
  ASSERT_EQ(new_answer.hits.size(), 5u);

  failures = 0;
  void *next = nullptr;
  needed = fault_each(
      [&] {
        world.clear_log();
        next = hdrw_host_init(host, first);
      },
      [&] {
        if (next == nullptr) {
          failures++;
          EXPECT_TRUE(init_failure_logged(world)) << world.log_text();
        } else {
          EXPECT_NE(next, first);
          EXPECT_EQ(evaluate(host, next, probe()), new_answer);
          hdrw_host_free_instance(host, next);
        }
        EXPECT_EQ(evaluate(host, first, probe()), old_answer);
      });
  EXPECT_GT(needed, 10u);  // settings, key, rule lines, patterns
  EXPECT_GT(failures, 0);
  hdrw_host_free_instance(host, first);
}

// A server's cycle while an allocation fails: host context with its
// configuration, a spooling store layout, an instance, two messages, and the
// frees. Every step either works completely or fails with its code and hands out
// nothing; a message the module cannot evaluate passes with no verdict and no hits.
TEST_F(E2eOom, ServerCycleFailsCleanlyAtEveryAllocation) {
  const std::string text = probe();
  HdrwHost *reference = world.make_host(0);
  void *instance = hdrw_host_init(reference, nullptr);
  ASSERT_NE(instance, nullptr);
  const Outcome want = evaluate(reference, instance, text);
  hdrw_host_free_instance(reference, instance);
  ASSERT_TRUE(want.spam);

  int complete = 0;
  uint64_t needed = fault_loop([&] {
    HdrwHost *host = reinterpret_cast<HdrwHost *>(0x1);
    uint32_t rc = hdrw_host_create(&host, world.plugin, world.load_point.c_str(),
                                   world.config_path.c_str(), 0);
    if (rc != 0) {
      EXPECT_EQ(rc, 10013u);
      EXPECT_EQ(host, reinterpret_cast<HdrwHost *>(0x1));
      return;
    }
    ASSERT_EQ(hdrw_host_set_store_layout(host, 16, 32), 0u);  // the block is spooled
    void *made = hdrw_host_init(host, nullptr);
    if (made != nullptr) {
      HdrwVerdict verdict;
      hdrw_verdict_init(&verdict);
      bool all = true;
      for (int i = 0; i < 2; i++) {
        Outcome got = evaluate(host, made, text, header_length(text), &verdict);
        if (got.rc != 0) {
          EXPECT_TRUE(got.rc == 10013 || got.rc == 10056) << got.rc;
          EXPECT_TRUE(got.hits.empty());
          all = false;
        } else if (!(got == want)) {
          // No verdict and no hits (the module failed), or a hit record lost
          // whose weight still counted.
          EXPECT_TRUE(got.hits.size() < want.hits.size()) << got.hits.size();
          if (got.spam == 0) {
            EXPECT_TRUE(got.hits.empty());
            EXPECT_NE(got.error, 0u);  // the host knows the message went unjudged
          }
          all = false;
        }
      }
      complete += all;
      hdrw_verdict_free(&verdict);
      hdrw_host_free_instance(host, made);
    }
    hdrw_host_free(host);
  });
  EXPECT_GT(needed, 10u);
  EXPECT_GE(complete, 1);  // at least the final run without a failure
}
