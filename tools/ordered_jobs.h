// ordered_jobs - work on items in parallel, results taken in item order
//
// run_in_order(count, jobs, work, take) calls work(i, worker) for every item i
// below count and take(i) for each in ascending order, each take(i) after
// work(i, ...) has returned. With jobs 1 everything runs on the calling thread
// (worker 0), work and take alternating; with more, min(jobs, count) threads
// (workers 0 to jobs - 1) take items from a shared counter while the calling
// thread runs take as items complete, so results come in item order whatever
// the number of jobs. work writes its result where take finds it (a slot per
// item); a worker index lets it keep per-thread state. An exception thrown by
// work on a thread is thrown again from run_in_order when its item's turn
// comes; the other threads finish their items first. take runs on the calling
// thread only.
#ifndef TOOLS_ORDERED_JOBS_H
#define TOOLS_ORDERED_JOBS_H

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace hdrw_cli {

template <class Work, class Take>
void run_in_order(size_t count, int jobs, Work work, Take take) {
  const size_t threads = jobs <= 1 ? 0 : std::min(static_cast<size_t>(jobs), count);
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

#endif
