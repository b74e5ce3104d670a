// Steps of a job that an idle worker does ahead of it.
//
// The work of one stream splits into the coder's line and the steps around
// it: preparing the next blocks while the coder codes one, decoding the next
// block while the last one is restored. When a worker of the runner has no
// job of its own to do, it runs such steps ahead of the job; when none is
// free -- with many files every worker has a file of its own -- or when the
// job needs a step that no worker has taken, the job runs the step itself at
// the moment it needs it. The steps run one at a time and in order, whoever
// runs them, so what they make does not depend on who made it or when.
//
// The job lets workers run the steps below a limit that it raises as it
// goes: how far ahead results may be made, and which steps it knows it will
// want. A step that fails ends the steps; the job meets the failure when it
// waits for that step, after the results of the steps before it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

namespace tarn {

class StreamJob;
class WorkAhead;

// The runner's side: the lock and signal it shares with the work it offers,
// and the work that wants a worker.
struct HelperPool {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<WorkAhead*> wanting;
  unsigned free = 0;  // workers neither running a job nor helping one
};

class WorkAhead {
 public:
  // Runs step `index`. `ahead` is true unless the job is waiting for this
  // very step and no later step may run before the job asks for more: a
  // result made ahead must be kept where the next steps do not overwrite it.
  // `on_worker` tells a worker's run from the job's own.
  using Step = std::function<void(uint64_t index, bool ahead, bool on_worker)>;

  // Workers of the runner that `job` runs under may help; a job that runs on
  // the caller's thread runs every step itself.
  WorkAhead(const StreamJob& job, Step step);
  ~WorkAhead();
  WorkAhead(const WorkAhead&) = delete;
  WorkAhead& operator=(const WorkAhead&) = delete;

  // Workers may run the steps below `limit` (a lower limit changes nothing).
  void allow(uint64_t limit);
  // Whether a worker of the runner is waiting for work right now.
  bool worker_free() const;
  // Returns when step `index` has run, here or on a worker; rethrows the
  // failure of a step up to `index`.
  void wait(uint64_t index);
  // Whether step `index` has run (without running or waiting for anything).
  bool has_run(uint64_t index) const;
  // Ends the steps: waits for one a worker is running; nothing runs after.
  void stop();

  // For the runner's worker that took this work from the pool's list: runs
  // the steps allowed, with `lock` on the pool's mutex held on entry and
  // on return.
  void help(std::unique_lock<std::mutex>& lock);

 private:
  HelperPool* pool() const;
  std::mutex& mutex() const;
  std::condition_variable& changed() const;
  // With the lock held: runs the next step.
  void run_next(std::unique_lock<std::mutex>& lock, bool ahead, bool on_worker);
  // With the lock held: offers the work to the pool when a step may run.
  void offer();

  const StreamJob& job_;
  Step step_;
  mutable std::mutex own_mutex_;
  mutable std::condition_variable own_changed_;
  uint64_t done_ = 0;   // steps run
  uint64_t limit_ = 0;  // workers may run the steps below
  bool running_ = false;
  bool offered_ = false;  // in the pool's list
  bool stopped_ = false;
  std::exception_ptr error_;
  uint64_t error_step_ = 0;
};

}  // namespace tarn
