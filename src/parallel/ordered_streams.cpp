#include "parallel/ordered_streams.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "parallel/piece_spill.h"
#include "common/error.h"
#include "platform/cleanup.h"

namespace tarn {

namespace {
// Jobs started but not yet released: one per worker and one more, so that a
// worker that finishes early starts the next job while the caller still
// takes an earlier one.
constexpr size_t WINDOW_EXTRA = 1;
constexpr auto TICK = std::chrono::milliseconds(100);
}  // namespace

void StreamJob::report_progress(uint64_t done) {
  progress_.store(done, std::memory_order_relaxed);
  if (inline_tick_ != nullptr && *inline_tick_) (*inline_tick_)();
}

OrderedStreams::OrderedStreams(unsigned workers, size_t count, MakeJob make, const std::string* spill_directory)
    : count_(count), make_(std::move(make)) {
  const size_t n = workers < count_ ? workers : count_;
  window_ = (n < 1 ? 1 : n) + WINDOW_EXTRA;
  if (workers < 2 || n == 0) return;  // the caller makes the pieces as it takes them
  // A job is made by one worker and helped by at most one more.
  const size_t threads = workers < 2 * count_ ? workers : 2 * count_;
  if (spill_directory != nullptr && count_ > 1) {
    // A job that is taken never needs one: one per job that may run ahead.
    for (size_t i = 0; i + 1 < window_; ++i) {
      spills_.push_back(std::make_unique<PieceSpill>(*spill_directory));
      free_spills_.push_back(spills_.back().get());
    }
  }
  // Workers never run the handlers of the terminating signals.
  platform::TerminationSignalsBlocked blocked;
  threads_.reserve(threads);
  std::unique_lock<std::mutex> lock(mutex_);
  pool_.free = static_cast<unsigned>(threads);
  lock.unlock();
  for (size_t i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      lock.lock();
      pool_.free -= static_cast<unsigned>(threads - i);
      lock.unlock();
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
  // Only the jobs' own threads are left: their work ahead runs there.
  for (auto& entry : states_)
    if (entry.second->job) entry.second->job->helpers_ = nullptr;
}

OrderedStreams::JobState& OrderedStreams::state(size_t index) {
  std::unique_ptr<JobState>& slot = states_[index];
  if (!slot) slot = std::make_unique<JobState>();
  return *slot;
}

void OrderedStreams::make_job(size_t index, JobState& st, bool on_worker) {
  std::unique_ptr<StreamJob> job = make_(index);
  std::lock_guard<std::mutex> lock(mutex_);
  // Made on a worker, the job may be helped by the others.
  if (on_worker) job->helpers_ = &pool_;
  st.job = std::move(job);
}

std::unique_ptr<OrderedStreams::JobState> OrderedStreams::retire(size_t index) {
  auto it = states_.find(index);
  std::unique_ptr<JobState> st = std::move(it->second);
  states_.erase(it);
  if (st->spill != nullptr) {
    st->spill->reset();
    free_spills_.push_back(st->spill);
    st->spill = nullptr;
  }
  return st;
}

void OrderedStreams::worker_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return cancel_ || can_start() || !pool_.wanting.empty() || (next_start_ >= count_ && running_ == 0);
    });
    --pool_.free;
    if (cancel_) return;
    if (can_start()) {
      const size_t index = next_start_++;
      JobState& st = state(index);
      st.started = true;
      st.running = true;
      ++running_;
      lock.unlock();
      run_job(index, st);
      lock.lock();
      --running_;
      st.running = false;
      std::unique_ptr<JobState> gone = st.released ? retire(index) : nullptr;
      changed_.notify_all();
      if (gone) {
        lock.unlock();
        gone.reset();
        lock.lock();
      }
    } else if (!pool_.wanting.empty()) {
      WorkAhead* work = pool_.wanting.front();
      pool_.wanting.pop_front();
      work->help(lock);
    } else {
      return;  // every job has ended
    }
    ++pool_.free;
  }
}

PieceSpill* OrderedStreams::spill_for(JobState& st) {
  if (st.spill == nullptr && !free_spills_.empty()) {
    st.spill = free_spills_.back();
    free_spills_.pop_back();
  }
  return st.spill;
}

void OrderedStreams::run_job(size_t index, JobState& st) {
  bool dropped = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped = cancel_ || st.dropped;
  }
  if (!dropped) {
    try {
      make_job(index, st, true);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      st.error = std::current_exception();
      dropped = true;
    }
  }
  if (dropped) {
    std::lock_guard<std::mutex> lock(mutex_);
    st.finished = true;
    changed_.notify_all();
    return;
  }
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
      more = st.job->next_piece(piece);
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
  std::unique_lock<std::mutex> lock(mutex_);
  JobState& st = state(index);
  if (!threaded()) {
    lock.unlock();
    if (st.finished) return false;
    if (!st.job) {
      try {
        make_job(index, st, false);
      } catch (...) {
        st.finished = true;
        throw;
      }
    }
    StreamJob& job = *st.job;
    job.inline_tick_ = &tick;
    try {
      const bool more = job.next_piece(piece);
      job.inline_tick_ = nullptr;
      if (more) return true;
    } catch (...) {
      job.inline_tick_ = nullptr;
      st.finished = true;
      throw;
    }
    st.finished = true;
    return false;
  }
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

StreamJob& OrderedStreams::job(size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  JobState& st = state(index);
  if (!threaded() && !st.job && !st.finished) {
    lock.unlock();
    make_job(index, st, false);
    lock.lock();
  }
  changed_.wait(lock, [&] { return st.job != nullptr || st.finished; });
  if (!st.job) raise_error(ErrorCode::OUT_OF_MEMORY);  // it could not even be made
  return *st.job;
}

uint64_t OrderedStreams::progress(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  const JobState& st = state(index);
  return st.job ? st.job->progress() : 0;
}

void OrderedStreams::release(size_t index) {
  std::unique_ptr<JobState> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = index + 1;
    JobState& st = state(index);
    st.released = true;
    st.dropped = true;
    st.queue.clear();
    st.queued_bytes = 0;
    // A job a worker runs (or is still to start) goes when the worker has
    // done with it; the others go now.
    if (!st.running && (st.started || !threaded())) gone = retire(index);
  }
  changed_.notify_all();
}

}  // namespace tarn
