#include "parallel/work_ahead.h"

#include <algorithm>

#include "parallel/ordered_streams.h"

namespace tarn {

WorkAhead::WorkAhead(const StreamJob& job, Step step) : job_(job), step_(std::move(step)) {}

WorkAhead::~WorkAhead() { stop(); }

// Set while the runner's workers exist; the runner clears it once they are
// joined, after which only the job's own thread is left.
HelperPool* WorkAhead::pool() const { return job_.helpers_; }
std::mutex& WorkAhead::mutex() const { return pool() != nullptr ? pool()->mutex : own_mutex_; }
std::condition_variable& WorkAhead::changed() const { return pool() != nullptr ? pool()->changed : own_changed_; }

void WorkAhead::offer() {
  HelperPool* helpers = pool();
  if (helpers == nullptr || offered_ || running_ || stopped_ || error_ || done_ >= limit_) return;
  offered_ = true;
  helpers->wanting.push_back(this);
  helpers->changed.notify_all();
}

void WorkAhead::allow(uint64_t limit) {
  std::lock_guard<std::mutex> lock(mutex());
  limit_ = std::max(limit_, limit);
  offer();
}

bool WorkAhead::worker_free() const {
  std::lock_guard<std::mutex> lock(mutex());
  return pool() != nullptr && pool()->free > 0;
}

void WorkAhead::run_next(std::unique_lock<std::mutex>& lock, bool ahead, bool on_worker) {
  running_ = true;
  const uint64_t index = done_;
  lock.unlock();
  std::exception_ptr error;
  try {
    step_(index, ahead, on_worker);
  } catch (...) {
    error = std::current_exception();
  }
  lock.lock();
  running_ = false;
  done_ = index + 1;
  if (error) {
    error_ = error;
    error_step_ = index;
  }
  changed().notify_all();
}

void WorkAhead::help(std::unique_lock<std::mutex>& lock) {
  offered_ = false;
  while (!stopped_ && !error_ && !running_ && done_ < limit_) run_next(lock, true, true);
}

// Only the job's own thread waits, and never after stop(). The mutex it
// locks is the pool's while the runner's workers exist and the job's own
// after they are joined; it cannot change while anyone holds it, since the
// pool is cleared only once every worker has ended.
void WorkAhead::wait(uint64_t index) {
  std::unique_lock<std::mutex> lock(mutex());
  for (;;) {
    if (error_ && error_step_ <= index) std::rethrow_exception(error_);
    if (done_ > index) break;
    if (running_) {
      changed().wait(lock);
    } else {
      // Made here for the job to use at once -- unless a worker may run the
      // next step meanwhile.
      run_next(lock, done_ != index || limit_ > index + 1, false);
    }
  }
  offer();
}

bool WorkAhead::has_run(uint64_t index) const {
  std::lock_guard<std::mutex> lock(mutex());
  return done_ > index;
}

void WorkAhead::stop() {
  std::unique_lock<std::mutex> lock(mutex());
  stopped_ = true;
  if (offered_ && pool() != nullptr) {
    std::deque<WorkAhead*>& wanting = pool()->wanting;
    wanting.erase(std::remove(wanting.begin(), wanting.end(), this), wanting.end());
  }
  offered_ = false;
  changed().wait(lock, [this] { return !running_; });
}

}  // namespace tarn
