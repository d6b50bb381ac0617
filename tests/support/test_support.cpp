// test_support - implementation of the shared test helpers (see the header).
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "tlvpr_mem.h"

namespace hdrw_test {

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base ? base : "/tmp") + "/hdrw-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << templ;
  }
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), (std::streamsize)content.size());
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
  }
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string &path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(path, ec)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
std::atomic<int64_t> g_clock{0};
std::mutex g_sleep_mutex;
std::vector<uint32_t> g_sleeps;
std::function<void(size_t)> g_on_sleep;

int64_t fake_time() { return g_clock.load(); }

void record_sleep(uint32_t ms) {
  std::function<void(size_t)> action;
  size_t index;
  {
    std::lock_guard<std::mutex> lock(g_sleep_mutex);
    g_sleeps.push_back(ms);
    index = g_sleeps.size() - 1;
    action = g_on_sleep;
  }
  if (tlvpr_hooks.time == &fake_time) {
    g_clock += ms / 1000;
  }
  if (action) {
    action(index);
  }
}
}  // namespace

void FakeClock::install(int64_t start) {
  g_clock = start;
  tlvpr_hooks.time = &fake_time;
}
void FakeClock::set(int64_t t) { g_clock = t; }
void FakeClock::advance(int64_t seconds) { g_clock += seconds; }
int64_t FakeClock::now() { return g_clock.load(); }

void SleepRecorder::install() {
  std::lock_guard<std::mutex> lock(g_sleep_mutex);
  g_sleeps.clear();
  g_on_sleep = nullptr;
  tlvpr_hooks.sleep_ms = &record_sleep;
}

std::vector<uint32_t> SleepRecorder::sleeps() {
  std::lock_guard<std::mutex> lock(g_sleep_mutex);
  return g_sleeps;
}

void SleepRecorder::on_sleep(std::function<void(size_t)> action) {
  std::lock_guard<std::mutex> lock(g_sleep_mutex);
  g_on_sleep = std::move(action);
}

uint64_t fault_loop(const std::function<void()> &op) {
  for (uint64_t n = 1; n < 1000000; n++) {
    tlvpr_fault_arm(n);
    op();
    uint64_t used = tlvpr_fault_disarm();
    if (used < n) {
      return used;  // the operation needed fewer than n allocations: all paths seen
    }
  }
  ADD_FAILURE() << "fault_loop did not converge";
  return 0;
}

}  // namespace hdrw_test
