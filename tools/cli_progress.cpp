// cli_progress - the progress bar and the summary line of a run (see cli_progress.h)
// (tested in tests/cli_test.cpp, which checks the summary line)
#include "cli_progress.h"

#include <cstdio>
#include <string>

#include <unistd.h>

namespace hdrw_cli {

Progress::Progress(size_t total) : total_(total), on_(isatty(STDERR_FILENO) == 1 && total > 0) {}

void Progress::update(size_t done, std::chrono::steady_clock::time_point start) {
  if (!on_) return;
  auto now = std::chrono::steady_clock::now();
  if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  constexpr size_t kWidth = 30;
  size_t fill = total_ == 0 ? kWidth : done * kWidth / total_;
  double secs = std::chrono::duration<double>(now - start).count();
  char line[160];
  std::snprintf(line, sizeof line, "\r[%s%s] %zu/%zu files, %.0f/s", std::string(fill, '#').c_str(),
                std::string(kWidth - fill, '.').c_str(), done, total_,
                secs > 0 ? static_cast<double>(done) / secs : 0.0);
  std::fputs(line, stderr);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

void print_summary(size_t messages, size_t spam, size_t failed, double secs, size_t left_out) {
  std::string failures = failed == 0 ? "" : ", " + std::to_string(failed) + " failed";
  if (left_out != 0) failures += ", " + std::to_string(left_out) + " left out (no header block)";
  char elapsed[32];
  if (secs < 1) {
    std::snprintf(elapsed, sizeof elapsed, "%.1f ms", secs * 1000);
  } else {
    std::snprintf(elapsed, sizeof elapsed, "%.3f s", secs);
  }
  std::fprintf(stderr, "hdrweights: %zu messages, %zu spam%s, %s, %.1f messages per second\n",
               messages, spam, failures.c_str(), elapsed,
               secs > 0 ? static_cast<double>(messages) / secs : 0.0);
}

}  // namespace hdrw_cli
