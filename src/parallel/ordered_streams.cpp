#include "parallel/ordered_streams.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "parallel/piece_spill.h"
#include "platform/cleanup.h"

namespace tarn {

namespace {
// Jobs started but not yet released: one per worker and one more, so that a
// worker that finishes early starts the next job while the caller still
// takes an earlier one.
constexpr size_t WINDOW_EXTRA = 1;
constexpr auto TICK = std::chrono::milliseconds(100);
}  // namespace

OrderedStreams::OrderedStreams(unsigned workers, std::vector<StreamJob*> jobs, const std::string* spill_directory)
    : jobs_(std::move(jobs)), state_(jobs_.size()) {
  const size_t n = workers < jobs_.size() ? workers : jobs_.size();
  window_ = (n < 1 ? 1 : n) + WINDOW_EXTRA;
  if (workers < 2 || n == 0) return;  // the caller makes the pieces as it takes them
  if (spill_directory != nullptr && jobs_.size() > 1) {
    // A job that is taken never needs one: one per job that may run ahead.
    for (size_t i = 0; i + 1 < window_; ++i) {
      spills_.push_back(std::make_unique<PieceSpill>(*spill_directory));
      free_spills_.push_back(spills_.back().get());
    }
  }
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

PieceSpill* OrderedStreams::spill_for(JobState& st) {
  if (st.spill == nullptr && !free_spills_.empty()) {
    st.spill = free_spills_.back();
    free_spills_.pop_back();
  }
  return st.spill;
}

void OrderedStreams::run_job(size_t index) {
  JobState& st = state_[index];
  for (;;) {
    {
      // Room first (in the queue or a spill), so that a waiting piece is
      // never made.
      std::unique_lock<std::mutex> lock(mutex_);
      // The job the caller is taking drains its queue; only a job ahead of
      // it starts spilling.
      changed_.wait(lock, [&] {
        return cancel_ || st.dropped || (st.spill == nullptr && st.queued_bytes < QUEUE_BYTES) ||
               (index != released_ && spill_for(st) != nullptr) || st.spill != nullptr;
      });
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
      // The caller reads only pieces counted in `spilled`, so the spill may
      // be written without the runner's lock.
      if (more && st.spill != nullptr) st.spill->append(piece);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (error || !more) {
        st.error = error;
        st.finished = true;
      } else if (st.spill != nullptr) {
        ++st.spilled;
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
    // The queue holds the older pieces: spilling starts only once it is full.
    if (!st.queue.empty()) {
      piece = std::move(st.queue.front());
      st.queue.pop_front();
      st.queued_bytes -= piece.bytes.size();
      lock.unlock();
      changed_.notify_all();
      return true;
    }
    if (st.spilled > 0) {
      --st.spilled;
      PieceSpill* spill = st.spill;
      lock.unlock();
      spill->read_next(piece);
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
    // The spill is free again once its writer is done with it.
    if (st.spill != nullptr && st.finished) {
      st.spill->reset();
      free_spills_.push_back(st.spill);
      st.spill = nullptr;
      st.spilled = 0;
    }
  }
  changed_.notify_all();
}

}  // namespace tarn
