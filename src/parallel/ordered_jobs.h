// Running independent jobs on worker threads and taking their results in
// order.
//
// Every file and every solid group is its own stream (fresh model, fresh
// coder tables, stream position 0), so the drivers can pack or decode
// several at once and still write the archive or the extracted files in
// table order. The runner numbers the jobs 0 to count-1; workers take them
// in that order, but never more than one job per worker plus one past the
// one the caller is waiting for, which bounds the finished results waiting in memory. The
// caller waits for job i, uses its result, then releases it, strictly in
// order. A job's failure is the job's own business: the job records it and
// the caller rethrows it when it reaches that job, so errors surface in the
// same place as in a single-threaded run. Destroying the runner cancels the
// jobs not yet started, tells running ones to stop early (`cancelled`) and
// joins the workers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarn {

class OrderedJobs {
 public:
  // The work of job `index`; it must not throw, and may ask `runner` whether
  // it has been cancelled.
  using Job = std::function<void(size_t index, const OrderedJobs& runner)>;

  // Starts max(workers, 1) threads (no more than there are jobs) running
  // `run_job` for the jobs 0 .. count-1.
  OrderedJobs(unsigned workers, size_t count, Job run_job);
  ~OrderedJobs();
  OrderedJobs(const OrderedJobs&) = delete;
  OrderedJobs& operator=(const OrderedJobs&) = delete;

  // Blocks until job `index` has finished; calls `tick` about ten times a
  // second meanwhile (progress display). `index` must be the lowest job not
  // yet released.
  void wait(size_t index, const std::function<void()>& tick = {});
  // Lets the workers run one job further ahead.
  void release(size_t index);
  // True once the runner is being torn down: long jobs should give up.
  bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }

 private:
  void worker_loop();

  Job run_job_;
  size_t count_;
  size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_start_ = 0;
  size_t released_ = 0;
  std::vector<bool> done_;
  std::atomic<bool> cancel_{false};
  std::vector<std::thread> threads_;
};

}  // namespace tarn
