// cli_jobs - the command's one worker pool (see cli_jobs.h)
#include "cli_jobs.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace hdrw_cli {
namespace {

size_t thread_count(size_t count, int jobs) {
  return jobs <= 1 ? 0 : std::min(static_cast<size_t>(jobs), count);
}

}  // namespace

size_t jobs_workers(size_t count, int jobs) {
  return std::max<size_t>(1, thread_count(count, jobs));
}

void run_in_order(size_t count, int jobs, const std::function<void(size_t, size_t)> &work,
                  const std::function<void(size_t)> &take) {
  const size_t threads = thread_count(count, jobs);
  if (threads == 0) {
    for (size_t i = 0; i < count; ++i) {
      work(i, size_t{0});
      take(i);
    }
    return;
  }
  std::vector<char> done(count, 0);
  std::vector<std::exception_ptr> errors(count);
  std::atomic<size_t> next{0};
  std::mutex mu;
  std::condition_variable cv;
  size_t waiting = SIZE_MAX;  // the item the calling thread waits for (guarded by mu)
  std::atomic<bool> stop{false};
  auto run = [&](size_t worker) {
    for (;;) {
      const size_t i = next.fetch_add(1);
      if (i >= count || stop.load()) break;
      std::exception_ptr error;
      try {
        work(i, worker);
      } catch (...) {
        error = std::current_exception();
      }
      bool wake = false;
      {
        std::lock_guard<std::mutex> lock(mu);
        errors[i] = error;
        done[i] = 1;
        wake = waiting == i;
      }
      // Only the item the calling thread waits for wakes it; it finds later ones done.
      if (wake) cv.notify_one();
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) pool.emplace_back(run, t);
  std::exception_ptr failure;
  for (size_t i = 0; i < count && !failure; ++i) {
    std::unique_lock<std::mutex> lock(mu);
    waiting = i;
    cv.wait(lock, [&] { return done[i] != 0; });
    waiting = SIZE_MAX;
    std::exception_ptr error = errors[i];
    lock.unlock();
    try {
      if (error) std::rethrow_exception(error);
      take(i);
    } catch (...) {
      failure = std::current_exception();
      stop.store(true);
    }
  }
  for (auto &t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace hdrw_cli
