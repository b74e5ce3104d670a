#include "parallel/ordered_jobs.h"

#include <chrono>

namespace tarn {

namespace {
// Jobs started but not yet released: one per worker and one more, so a
// worker that finishes early may start the next job while the caller still
// waits for an earlier one, and at most one finished result per extra
// worker waits in memory.
constexpr size_t WINDOW_EXTRA = 1;
constexpr auto TICK = std::chrono::milliseconds(100);
}  // namespace

OrderedJobs::OrderedJobs(unsigned workers, size_t count, Job run_job)
    : run_job_(std::move(run_job)), count_(count), done_(count, false) {
  const unsigned n = workers < 1 ? 1 : workers;
  window_ = n + WINDOW_EXTRA;
  threads_.reserve(n);
  for (unsigned i = 0; i < n && i < count; ++i) threads_.emplace_back([this] { worker_loop(); });
}

OrderedJobs::~OrderedJobs() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_.store(true);
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void OrderedJobs::worker_loop() {
  for (;;) {
    size_t index = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] {
        return cancel_.load() || next_start_ >= count_ || next_start_ < released_ + window_;
      });
      if (cancel_.load() || next_start_ >= count_) return;
      index = next_start_++;
    }
    run_job_(index, *this);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[index] = true;
    }
    changed_.notify_all();
  }
}

void OrderedJobs::wait(size_t index, const std::function<void()>& tick) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!done_[index]) {
    if (tick) {
      changed_.wait_for(lock, TICK);
      if (done_[index]) break;
      lock.unlock();
      tick();
      lock.lock();
    } else {
      changed_.wait(lock);
    }
  }
}

void OrderedJobs::release(size_t index) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = index + 1;
  }
  changed_.notify_all();
}

}  // namespace tarn
