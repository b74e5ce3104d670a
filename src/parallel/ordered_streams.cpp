#include "parallel/ordered_streams.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "platform/cleanup.h"

namespace tarn {

namespace {
// Jobs started but not yet released: one per worker and one more, so that a
// worker that finishes early starts the next job while the caller still
// takes an earlier one.
constexpr size_t WINDOW_EXTRA = 1;
constexpr auto TICK = std::chrono::milliseconds(100);
}  // namespace

OrderedStreams::OrderedStreams(unsigned workers, std::vector<StreamJob*> jobs)
    : jobs_(std::move(jobs)), state_(jobs_.size()) {
  const size_t n = workers < jobs_.size() ? workers : jobs_.size();
  window_ = (n < 1 ? 1 : n) + WINDOW_EXTRA;
  if (workers < 2 || n == 0) return;  // the caller makes the pieces as it takes them
  // Workers never run the handlers of the terminating signals.
  platform::TerminationSignalsBlocked blocked;
  threads_.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    try {
      threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      break;  // as many workers as the system gives; none: the caller works
    }
  }
}

OrderedStreams::~OrderedStreams() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void OrderedStreams::worker_loop() {
  for (;;) {
    size_t index = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return cancel_ || next_start_ >= jobs_.size() || next_start_ < released_ + window_; });
      if (cancel_ || next_start_ >= jobs_.size()) return;
      index = next_start_++;
    }
    run_job(index);
  }
}

void OrderedStreams::run_job(size_t index) {
  JobState& st = state_[index];
  for (;;) {
    {
      // Room in the queue first, so that a waiting piece is never made.
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return cancel_ || st.dropped || st.queued_bytes < QUEUE_BYTES; });
      if (cancel_ || st.dropped) {
        st.finished = true;
        changed_.notify_all();
        return;
      }
    }
    Piece piece;
    bool more = false;
    std::exception_ptr error;
    try {
      more = jobs_[index]->next_piece(piece);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (error || !more) {
        st.error = error;
        st.finished = true;
      } else if (!st.dropped) {
        st.queued_bytes += piece.bytes.size();
        st.queue.push_back(std::move(piece));
      }
    }
    changed_.notify_all();
    if (error || !more) return;
  }
}

bool OrderedStreams::take(size_t index, Piece& piece, const std::function<void()>& tick) {
  JobState& st = state_[index];
  if (!threaded()) {
    if (st.finished) return false;
    try {
      if (jobs_[index]->next_piece(piece)) return true;
    } catch (...) {
      st.finished = true;
      throw;
    }
    st.finished = true;
    return false;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!st.queue.empty()) {
      piece = std::move(st.queue.front());
      st.queue.pop_front();
      st.queued_bytes -= piece.bytes.size();
      lock.unlock();
      changed_.notify_all();
      return true;
    }
    if (st.finished) {
      if (st.error) std::rethrow_exception(std::exchange(st.error, nullptr));
      return false;
    }
    if (tick) {
      changed_.wait_for(lock, TICK);
      lock.unlock();
      tick();
      lock.lock();
    } else {
      changed_.wait(lock);
    }
  }
}

void OrderedStreams::release(size_t index) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = index + 1;
    JobState& st = state_[index];
    st.dropped = true;
    st.queue.clear();
    st.queued_bytes = 0;
  }
  changed_.notify_all();
}

}  // namespace tarn
