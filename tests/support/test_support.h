// test_support - shared helpers for the GoogleTest suites
//
// TempDir: a fresh directory under $TMPDIR (or /tmp) removed with its content on
// destruction; path() is its absolute path, file(name) a path inside it.
// write_file / read_file: whole-file helpers that fail the test on error.
// HookGuard: saves tlvpr_hooks on construction and restores it on destruction, so a
// test may set the clock, sleep, reporter or allocation hooks freely.
// FakeClock: a clock for tlvpr_hooks.time that a test moves by hand (set/advance);
// install() points the hook at it. SleepRecorder records every tlvpr_sleep in
// milliseconds without sleeping and advances the FakeClock when one is installed.
// Both are process-wide singletons: tests using them must not run in parallel
// threads with other users of the same hooks.
// kNameHashSubject / kNameHashFrom: the header-name hash (h = h * 33 + byte over
// the name before its ':', from 0) of "Subject" and "From", checked here once
// against that definition; the suites compare the engine's hashes with them.
// fault_loop(op): runs op() with allocation n failing, for n = 1, 2, ... until
// op() reports it ran without meeting the injected failure (fewer allocations
// than n); returns how many allocations the whole operation needs. op returns
// nothing; the caller checks results and leaks inside op (LeakSanitizer in the
// sanitizer build catches what a check misses).
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H
#define TESTS_SUPPORT_TEST_SUPPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tlvpr_hooks.h"

namespace hdrw_test {

constexpr uint32_t name_hash_of(std::string_view name) {
  uint32_t hash = 0;
  for (const char c : name) {
    hash = hash * 33 + static_cast<unsigned char>(c);
  }
  return hash;
}
constexpr uint32_t kNameHashSubject = 221675664u;
constexpr uint32_t kNameHashFrom = 2643508u;
static_assert(name_hash_of("Subject") == kNameHashSubject);
static_assert(name_hash_of("From") == kNameHashFrom);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
std::vector<std::string> list_dir(const std::string &path);  // sorted, without . and ..

class HookGuard {
 public:
  HookGuard() : saved_(tlvpr_hooks) {}
  ~HookGuard() { tlvpr_hooks = saved_; }
  HookGuard(const HookGuard &) = delete;
  HookGuard &operator=(const HookGuard &) = delete;

 private:
  TlvprHooks saved_;
};

struct FakeClock {
  static void install(int64_t start);  // sets the time hook; the clock starts at start
  static void set(int64_t t);
  static void advance(int64_t seconds);
  static int64_t now();
};

struct SleepRecorder {
  static void install();                  // sets the sleep hook and clears the record
  static std::vector<uint32_t> sleeps();  // milliseconds, in call order
  static void on_sleep(std::function<void(size_t index)> action);  // runs after each sleep
};

// Runs op once per allocation with that allocation failing; returns the number of
// allocations op needs when none fails (op is finally run once without failure).
uint64_t fault_loop(const std::function<void()> &op);

}  // namespace hdrw_test

#endif
