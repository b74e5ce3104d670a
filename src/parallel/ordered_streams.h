// Producing independent streams on worker threads and taking their output
// in order.
//
// Every file and every solid group is a stream of its own (fresh model,
// fresh coder tables, stream position 0), so the drivers pack or decode
// several at once and still write the archive or the extracted files in
// table order, byte for byte as one thread would. A job hands out its
// output as a sequence of pieces (a packed chunk, a decoded chunk, a whole
// group); workers take the jobs in order and make each job's pieces into a
// small queue of its own, which the caller drains job by job, strictly in
// order.
//
// Memory stays bounded whatever the sizes and however many jobs there are.
// A job is made (by the caller's function) only when a worker starts it and
// destroyed once it is released and has stopped, so only the jobs in
// flight exist at any time, never one per file. A job keeps at most QUEUE_BYTES
// of finished pieces in memory, and workers start a job at most one past the
// jobs in progress (one per worker) beyond the one the caller is taking; so
// each worker holds at most its job's pipeline, the piece it is making and
// one queue. When its queue is full, a worker either waits for the caller,
// or, when the runner was given a spill directory, puts the job's further
// pieces into a spill file there and goes on. The spill files (one per job
// in flight at most) are made by the caller's thread when the runner
// starts and removed when it goes, so none outlives the run.
//
// A job's failure ends its sequence: the caller meets it when, having taken
// the pieces made before it, it asks for the next one -- in the same place
// as in a single-threaded run.
//
// With one worker, or when no thread can be started at all, there are no
// threads: the caller makes each piece itself when it asks for it.
// Destroying the runner stops the workers (a job is never taken further
// once the runner is going) and joins them.
//
// A worker that has no job to start -- the jobs are fewer than the
// workers, or the rest wait behind the one the caller takes -- helps the
// running jobs with the steps they offer (parallel/work_ahead.h), so that a
// single large file keeps two cores busy too. Starting a job always comes
// first: with many files every worker has a file of its own, as before. A
// helper holds nothing of its own; what it makes ahead (a few blocks) is
// kept by the job it helps, and only while it helps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "parallel/work_ahead.h"

namespace tarn {

struct Piece {
  std::vector<uint8_t> bytes;
  uint64_t done = 0;     // the job's progress with this piece (input bytes)
  bool damaged = false;  // the job's data ended damaged here (extraction)
};

class StreamJob {
 public:
  virtual ~StreamJob() = default;
  // Makes the job's next piece; false when there is none left. May throw:
  // the failure ends the job.
  virtual bool next_piece(Piece& piece) = 0;

  // How far the job has got (input bytes), also within a piece: for the
  // progress display, read from any thread.
  uint64_t progress() const { return progress_.load(std::memory_order_relaxed); }

 protected:
  void report_progress(uint64_t done);

 private:
  friend class OrderedStreams;
  friend class WorkAhead;
  // The runner's idle workers while they exist (threaded runs only).
  HelperPool* helpers_ = nullptr;
  // Called on the caller's thread when it makes the pieces itself.
  const std::function<void()>* inline_tick_ = nullptr;
  std::atomic<uint64_t> progress_{0};
};

class PieceSpill;

class OrderedStreams {
 public:
  static constexpr size_t QUEUE_BYTES = 2u << 20;

  // Makes job `index`; called on the thread that starts the job (a worker,
  // or the caller), so it must be safe to call from any thread.
  using MakeJob = std::function<std::unique_ptr<StreamJob>(size_t index)>;

  // Runs `count` jobs made by `make` in index order on min(workers, count)
  // threads, or on the caller's thread with one worker. With a
  // `spill_directory` (OS form, ending in a separator, or empty for the
  // current directory) full queues overflow into files there. Raises
  // IO_ERROR when a spill file cannot be made.
  OrderedStreams(unsigned workers, size_t count, MakeJob make, const std::string* spill_directory = nullptr);
  ~OrderedStreams();
  OrderedStreams(const OrderedStreams&) = delete;
  OrderedStreams& operator=(const OrderedStreams&) = delete;

  // The next piece of job `index`, the lowest job not yet released: true
  // with a piece, false when the job has no more. Rethrows the job's
  // failure after its earlier pieces. Calls `tick` about ten times a second
  // while it waits (or, when the caller makes the piece, as the job
  // reports progress).
  bool take(size_t index, Piece& piece, const std::function<void()>& tick = {});
  // Job `index` itself, for what it found (a checksum, a size), from the
  // caller's first take of it until it is released: waits until it is made.
  StreamJob& job(size_t index);
  // How far job `index` has got (0 before it is made), without waiting.
  uint64_t progress(size_t index);
  // The caller is done with job `index`; pieces it did not take are dropped,
  // the job goes once it has stopped, and workers may start further ahead.
  void release(size_t index);
  // Whether worker threads run the jobs (false: the caller does).
  bool threaded() const { return !threads_.empty(); }

 private:
  struct JobState {
    std::unique_ptr<StreamJob> job;
    bool started = false;  // by a worker
    bool running = false;  // a worker is running it
    bool released = false;
    std::deque<Piece> queue;
    size_t queued_bytes = 0;
    PieceSpill* spill = nullptr;  // once set, every further piece goes there
    size_t spilled = 0;           // pieces in the spill not yet taken
    bool finished = false;
    bool dropped = false;
    std::exception_ptr error;
  };

  void worker_loop();
  void run_job(size_t index, JobState& st);
  bool can_start() const { return next_start_ < count_ && next_start_ < released_ + window_; }
  // With the lock held: the state of a job not yet gone, made when asked.
  JobState& state(size_t index);
  // Makes the job of a state (without the lock); one made on a worker may
  // be helped by the others.
  void make_job(size_t index, JobState& st, bool on_worker);
  // With the lock held: takes the state of a job that is released and has
  // stopped out of the map (its spill freed), for the caller to destroy
  // without the lock (a job stops its helpers under the same lock).
  std::unique_ptr<JobState> retire(size_t index);
  // Finds the job a spill file; null when none is free (then it waits).
  PieceSpill* spill_for(JobState& st);

  size_t count_;
  MakeJob make_;
  std::map<size_t, std::unique_ptr<JobState>> states_;
  size_t window_ = 0;
  HelperPool pool_;  // its lock and signal guard everything below
  std::mutex& mutex_ = pool_.mutex;
  std::condition_variable& changed_ = pool_.changed;
  size_t next_start_ = 0;
  size_t running_ = 0;  // jobs a worker is running
  size_t released_ = 0;
  bool cancel_ = false;
  std::vector<std::unique_ptr<PieceSpill>> spills_;
  std::vector<PieceSpill*> free_spills_;
  std::vector<std::thread> threads_;
};

}  // namespace tarn
