// cli_jobs - the command's one worker pool: items in parallel, results in item order
//
// run_in_order(count, jobs, work, take) calls work(i, worker) for every item i
// below count and take(i) for each in ascending order, each take(i) after
// work(i, ...) has returned. With jobs 1 everything runs on the calling thread
// (worker 0), work and take alternating; with more, min(jobs, count) threads
// (workers 0 to jobs_workers(count, jobs) - 1) take items from a shared counter
// while the calling thread runs take as items complete, so results come in item
// order whatever the number of jobs. work writes its result where take finds it
// (a slot per item); a worker index lets it keep per-thread state. An exception
// thrown by work on a thread is thrown again from run_in_order when its item's
// turn comes; an exception from take stops the handing out of items, and the
// threads finish the items they hold before it is thrown again. take runs on the
// calling thread only. The command's units start no threads of their own.
#ifndef TOOLS_CLI_JOBS_H
#define TOOLS_CLI_JOBS_H

#include <cstddef>
#include <functional>

namespace hdrw_cli {

// jobs_workers - how many worker indexes run_in_order(count, jobs, ...) hands
// out: at least 1, so a per-worker state vector of this size is never empty
size_t jobs_workers(size_t count, int jobs);

void run_in_order(size_t count, int jobs, const std::function<void(size_t, size_t)> &work,
                  const std::function<void(size_t)> &take);

}  // namespace hdrw_cli

#endif
