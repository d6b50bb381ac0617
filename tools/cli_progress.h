// cli_progress - what a long run over messages shows on standard error
//
// Progress(total) draws one bar line, rewritten at most every 100 ms, while
// standard error is a terminal and total is above 0; update(done, start)
// redraws it (always when done reaches total), clear() erases it before other
// lines are printed to standard error and at the end. Not thread-safe: one
// thread draws.
//
// print_summary(messages, spam, failed, seconds, left_out) prints the closing
// line of a run: "hdrweights: N messages, N spam[, N failed][, N left out (no
// header block)], ELAPSED, R messages per second", elapsed in ms below a second.
#ifndef TOOLS_CLI_PROGRESS_H
#define TOOLS_CLI_PROGRESS_H

#include <chrono>
#include <cstddef>

namespace hdrw_cli {

class Progress {
 public:
  explicit Progress(size_t total);
  void update(size_t done, std::chrono::steady_clock::time_point start);
  void clear();

 private:
  size_t total_;
  bool on_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

void print_summary(size_t messages, size_t spam, size_t failed, double seconds,
                   size_t left_out = 0);

}  // namespace hdrw_cli

#endif
