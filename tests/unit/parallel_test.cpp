// Packing and decoding on several workers: the archive, the extracted files
// and the console texts must not depend on the number of workers, and a
// failure in a worker must end the run as it does on one thread.
#include <gtest/gtest.h>

#include <sys/resource.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <chrono>
#include <csignal>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/extract.h"
#include "cli/console_report.h"
#include "files/wildcard_list.h"
#include "parallel/ordered_streams.h"
#include "parallel/work_ahead.h"
#include "pipeline/block_types.h"
#include "platform/processors.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testdata::NO_ERROR;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

using testdata::mixed_text;
using testdata::random_text;

// Many small files of varied kinds (text, noise that does not pack, empty
// ones), a directory, and two files above one chunk: one that packs and one
// that falls back to storing.
void make_tree() {
  for (int i = 0; i < 36; ++i) {
    const auto seed = static_cast<uint32_t>(i + 1);
    const std::string name = "tree/d" + std::to_string(i % 3) + "/f" + std::to_string(i);
    if (i % 9 == 4) {
      write_file(name + ".bin", random_text(3000 + 500 * i, seed));
    } else if (i % 12 == 7) {
      write_file(name + ".empty", "");
    } else {
      write_file(name + ".txt", mixed_text(2000 + 1500 * i, seed));
    }
  }
  std::filesystem::create_directories("tree/emptydir");
  std::string large;
  const std::string paragraph = mixed_text(150000, 99);
  while (large.size() <= CHUNK_SIZE) large += paragraph;
  write_file("tree/large.txt", large);
  write_file("tree/d0/mid.txt", mixed_text(200000, 97));
  write_file("tree/noise.bin", random_text(CHUNK_SIZE + 200000, 98));
}

struct Outcome {
  std::string output;
  ErrorCode error = NO_ERROR;
};

Outcome create(const std::string& name, bool solid, unsigned workers, const FileList* list = nullptr) {
  CreateOptions options = testing::create_options(1, solid);
  options.workers = workers;
  Outcome run;
  run.output = testing::create_from(list ? *list : testing::select_files({"tree/"}, {true, true}), options, name,
                                    &run.error);
  return run;
}

// Extracts (or with `write` false, tests) every entry of an open archive.
Outcome extract_from(ArchiveReader& reader, const FileList& entries, bool write, unsigned workers,
                     const std::string& out_dir) {
  WildcardList wildcards;
  wildcards.add_extract_wildcard("*");
  ExtractOptions options;
  options.output_dir = out_dir;
  options.write_files = write;
  options.workers = workers;
  Outcome run;
  ::testing::internal::CaptureStdout();
  ConsoleReport report("tarnc");
  run.error = testdata::error_of([&] { extract_archive(reader, entries, wildcards, options, report); });
  run.output = ::testing::internal::GetCapturedStdout();
  return run;
}

Outcome extract(const std::string& name, bool write, unsigned workers, const std::string& out_dir) {
  ArchiveReader reader;
  reader.open_archive_for_reading(name);
  FileList entries;
  reader.read_file_table(entries);
  return extract_from(reader, entries, write, workers, out_dir);
}

// Runs `run` for each worker count: every outcome has the console output
// and the error of the first count's. Returns that first outcome.
template <typename Run>
Outcome same_for_each_worker_count(std::initializer_list<unsigned> counts, Run run) {
  const Outcome first = run(*counts.begin());
  for (auto workers = counts.begin() + 1; workers != counts.end(); ++workers) {
    const Outcome other = run(*workers);
    EXPECT_EQ(other.error, first.error) << *workers << " workers";
    EXPECT_EQ(other.output, first.output) << *workers << " workers";
  }
  return first;
}

// Packs `list` (the tree when null) as w<N>.trn on 1, 2 and 4 workers: the
// archives are byte for byte w1.trn, and the outcomes the same.
Outcome create_for_each_worker_count(bool solid, const FileList* list = nullptr) {
  return same_for_each_worker_count({1u, 2u, 4u}, [&](unsigned workers) {
    const std::string name = "w" + std::to_string(workers) + ".trn";
    const Outcome run = create(name, solid, workers, list);
    EXPECT_TRUE(read_file(name) == read_file("w1.trn")) << workers << " workers";
    return run;
  });
}

// A test directory holding the tree; each test runs once with single files
// and once with solid groups.
class Parallel : public ::testing::Test {
 protected:
  void SetUp() override { make_tree(); }
  template <typename Body>
  void for_each_layout(Body body) {
    for (const bool solid : {false, true}) {
      SCOPED_TRACE(solid ? "solid groups" : "single files");
      body(solid);
    }
  }
  TempDir dir;
};

TEST_F(Parallel, ArchiveAndOutputDoNotDependOnTheWorkerCount) {
  for_each_layout([](bool solid) {
    const Outcome one = create_for_each_worker_count(solid);
    ASSERT_EQ(one.error, NO_ERROR) << one.output;
    if (!solid) {
      // The store fallback really happened: the noise files.
      const FileList entries = testing::read_table("w1.trn");
      int stored = 0;
      for (const FileEntry& e : entries.entries()) stored += (e.flags & FLAG_STORED) != 0 && e.size > 0;
      EXPECT_EQ(stored, 5);
    }
  });
}

TEST_F(Parallel, TestAndExtractionMatchTheSingleWorkerRunOnGoodAndDamagedArchives) {
  for_each_layout([](bool solid) {
    ASSERT_EQ(create("a.trn", solid, 3).error, NO_ERROR);
    std::string damaged = read_file("a.trn");
    for (size_t at = 40; at < damaged.size() / 2; at += 7919) damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    write_file("damaged.trn", damaged);
    for (const char* name : {"a.trn", "damaged.trn"}) {
      SCOPED_TRACE(name);
      const Outcome tested = same_for_each_worker_count({1u, 3u}, [&](unsigned w) { return extract(name, false, w, "."); });
      if (name == std::string("a.trn")) {
        EXPECT_EQ(tested.output.find("CRC"), std::string::npos);
      }
    }

    std::filesystem::remove_all("out1");
    std::filesystem::remove_all("out3");
    const Outcome one = same_for_each_worker_count(
        {1u, 3u}, [](unsigned w) { return extract("a.trn", true, w, "out" + std::to_string(w)); });
    EXPECT_EQ(one.error, NO_ERROR);
    int files = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator("tree")) {
      const std::filesystem::path relative = std::filesystem::relative(item.path(), ".");
      ASSERT_TRUE(std::filesystem::exists("out3" / relative)) << relative;
      if (!item.is_regular_file()) continue;
      ++files;
      EXPECT_TRUE(read_file(("out3" / relative).string()) == read_file(item.path().string())) << relative;
    }
    EXPECT_EQ(files, 39);
  });
}

TEST_F(Parallel, WorkerFailureEndsTheRunLikeOneWorker) {
  // Selected, then cut short before it is packed: the worker's read
  // fails (the grouping key reads only the first 131,072 bytes).
  const FileList list = testing::select_files({"tree/"}, {true, true});
  std::filesystem::resize_file("tree/d0/mid.txt", 150000);
  for_each_layout([&](bool solid) {
    const Outcome one = same_for_each_worker_count({1u, 4u}, [&](unsigned w) { return create("x.trn", solid, w, &list); });
    EXPECT_EQ(one.error, ErrorCode::IO_ERROR);
    EXPECT_NE(one.output.find("mid.txt "), std::string::npos);
  });
}

// The archive read is the archive opened: when another archive takes its
// name meanwhile (a `c` of the same name renames its new archive into
// place), every worker still decodes the first one, for any worker count.
TEST_F(Parallel, EveryReaderReadsTheArchiveThatWasOpened) {
  for_each_layout([](bool solid) {
    ASSERT_EQ(create("a.trn", solid, 1).error, NO_ERROR);
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator("tree"))
      if (e.is_regular_file()) files.push_back(e.path().string());
    for (const std::string& f : files) write_file(f + ".other", "other");
    ASSERT_EQ(create("b.trn", solid, 1).error, NO_ERROR);
    for (const unsigned workers : {1u, 2u, 4u}) {
      std::filesystem::copy_file("a.trn", "x.trn", std::filesystem::copy_options::overwrite_existing);
      ArchiveReader reader;
      reader.open_archive_for_reading("x.trn");
      FileList entries;
      reader.read_file_table(entries);
      std::filesystem::rename("b.trn", "x.trn");
      std::filesystem::copy_file("x.trn", "b.trn");
      const Outcome run = extract_from(reader, entries, true, workers, "out");
      EXPECT_EQ(run.error, NO_ERROR) << workers;
      EXPECT_EQ(run.output.find("CRC"), std::string::npos) << workers << run.output;
      for (const std::string& f : files) EXPECT_TRUE(read_file("out/" + f) == read_file(f)) << f;
      std::filesystem::remove_all("out");
    }
    for (const std::string& f : files) std::filesystem::remove(f + ".other");
  });
}

// A job of `count` pieces of `size` bytes each (the piece number in every
// byte); it fails at piece `fail_at` when that is below `count`.
class CountingJob : public StreamJob {
 public:
  CountingJob(int id, int count, size_t size, int fail_at = -1) : id_(id), count_(count), size_(size), fail_at_(fail_at) {}
  bool next_piece(Piece& piece) override {
    if (made_ == fail_at_) raise_error(ErrorCode::IO_ERROR);
    if (made_ == count_) return false;
    piece.bytes.assign(size_, static_cast<uint8_t>(id_ * 16 + made_));
    piece.done = static_cast<uint64_t>(++made_);
    return true;
  }

 private:
  int id_, count_;
  size_t size_;
  int fail_at_;
  int made_ = 0;
};

// The spill files of a runner in the current directory: how many, and the
// bytes in them. Named ones are found in the directory; where they have no
// name they are found among this process's open files.
std::pair<int, uintmax_t> spill_files() {
  std::pair<int, uintmax_t> found{0, 0};
  for (const auto& e : std::filesystem::directory_iterator("."))
    if (e.path().filename().string().starts_with(".tarnc-")) {
      ++found.first;
      found.second += e.file_size();
    }
  std::error_code ec;
  const std::string here = std::filesystem::current_path().string() + "/";
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
    if (ec || !target.starts_with(here) || !target.ends_with(" (deleted)") ||
        target.find('/', here.size()) != std::string::npos)
      continue;
    ++found.first;
    found.second += std::filesystem::file_size(e.path(), ec);
  }
  return found;
}

// Pieces come back in job order and piece order for any worker count: from
// memory, or, for jobs that run far ahead of a slow caller, from spill files
// beside the output, which go with the runner. A job's failure comes after
// its earlier pieces.
TEST(OrderedStreams, PiecesComeBackInOrderFromMemoryOrSpillFiles) {
  TempDir dir;
  for (const unsigned workers : {1u, 2u, 4u}) {
    SCOPED_TRACE(workers);
    // Pieces of 1 MiB: a job ahead of the caller soon fills its queue.
    const auto make = [](size_t id) {
      return std::make_unique<CountingJob>(static_cast<int>(id), 6, 1 << 20, id == 4 ? 3 : -1);
    };
    const std::string here;
    bool spilled = false;
    {
      OrderedStreams runner(workers, 6, make, &here);
      for (int id = 0; id < 6; ++id) {
        Piece piece;
        int k = 0;
        const ErrorCode error = testdata::error_of([&] {
          while (runner.take(static_cast<size_t>(id), piece)) {
            ASSERT_EQ(piece.bytes.size(), 1u << 20);
            EXPECT_EQ(piece.bytes.front(), id * 16 + k);
            EXPECT_EQ(piece.bytes.back(), id * 16 + k);
            EXPECT_EQ(piece.done, static_cast<uint64_t>(++k));
            if (id == 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a slow caller
          }
        });
        EXPECT_EQ(k, id == 4 ? 3 : 6);
        EXPECT_EQ(error, id == 4 ? ErrorCode::IO_ERROR : testdata::NO_ERROR);
        spilled = spilled || spill_files().second > 0;
        runner.release(static_cast<size_t>(id));
      }
    }
    EXPECT_EQ(spilled, workers > 1);
    EXPECT_EQ(spill_files().first, 0);
  }
}

// A job whose pieces are made of the results of WorkAhead steps, each step
// recording its index: `pieces` pieces of `steps` steps; step `fail_at`
// fails. It lets the steps run up to four ahead; with `patient` it gives a
// worker up to ten seconds to take the first step before it runs it itself.
class SteppedJob : public StreamJob {
 public:
  SteppedJob(int pieces, int steps, int fail_at = -1, bool patient = false)
      : pieces_(pieces), steps_(steps), fail_at_(fail_at), patient_(patient) {}
  bool next_piece(Piece& piece) override {
    if (!ahead_) {
      ahead_ = std::make_unique<WorkAhead>(*this, [this](uint64_t index, bool, bool on_worker) {
        if (static_cast<int>(index) == fail_at_) raise_error(ErrorCode::IO_ERROR);
        ran_.push_back(index);
        results_[index % 8] = static_cast<uint8_t>(index);
        on_worker_ += on_worker;
      });
    }
    if (made_ == pieces_) {
      ahead_->stop();
      return false;
    }
    piece.bytes.clear();
    for (int k = 0; k < steps_; ++k) {
      ahead_->allow(next_ + 4);
      for (int wait = 0; patient_ && next_ == 0 && wait < 10000 && !ahead_->has_run(0); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ahead_->wait(next_);
      piece.bytes.push_back(results_[next_ % 8]);
      ++next_;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the job's own work
    }
    piece.done = static_cast<uint64_t>(++made_);
    return true;
  }
  std::vector<uint64_t> ran_;  // steps in the order they ran
  int on_worker_ = 0;

 private:
  int pieces_, steps_, fail_at_;
  bool patient_;
  int made_ = 0;
  uint64_t next_ = 0;
  uint8_t results_[8] = {};
  std::unique_ptr<WorkAhead> ahead_;
};

// Steps run once each and in order, on the job's thread or (with a worker
// to spare) on another; their results come back in order, and a failing
// step ends the job where it comes, after the pieces before it.
TEST(WorkAhead, StepsRunOnceInOrderHereOrOnAFreeWorker) {
  for (const unsigned workers : {1u, 2u, 4u}) {
    SCOPED_TRACE(workers);
    int good_on_worker = 0;
    for (const bool fails : {false, true}) {
      OrderedStreams runner(workers, 1, [&](size_t) {
        return fails ? std::make_unique<SteppedJob>(5, 6, 15) : std::make_unique<SteppedJob>(5, 6, -1, workers > 1);
      });
      Piece piece;
      std::vector<uint8_t> got;
      const ErrorCode error = testdata::error_of([&] {
        while (runner.take(0, piece)) got.insert(got.end(), piece.bytes.begin(), piece.bytes.end());
      });
      const auto* job = static_cast<SteppedJob*>(&runner.job(0));
      EXPECT_EQ(error, fails ? ErrorCode::IO_ERROR : testdata::NO_ERROR);
      ASSERT_EQ(got.size(), fails ? 12u : 30u);  // whole pieces before the failing step
      for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], k);
      for (size_t k = 0; k < job->ran_.size(); ++k) EXPECT_EQ(job->ran_[k], k);
      if (fails) {
        EXPECT_EQ(job->ran_.size(), 15u);  // nothing runs after a failure
      } else {
        good_on_worker = job->on_worker_;
      }
      runner.release(0);
    }
    // One job and a worker to spare: it helps. Alone, the job runs every
    // step itself.
    EXPECT_EQ(good_on_worker > 0, workers > 1);
  }
}

// Without workers every step runs on the job's thread when the job waits
// for it; a step is made for use at once ("not ahead") only when it is the
// one waited for and no later step may run before the job asks again.
TEST(WorkAhead, AStepIsForUseAtOnceOnlyWhenNothingMayRunAfterIt) {
  CountingJob job(0, 0, 0);  // in no runner: no workers
  std::vector<std::pair<uint64_t, bool>> ran;
  WorkAhead ahead(job, [&](uint64_t index, bool made_ahead, bool on_worker) {
    EXPECT_FALSE(on_worker);
    ran.emplace_back(index, made_ahead);
  });
  ahead.wait(0);  // nothing allowed beyond it
  ahead.allow(2);
  ahead.wait(1);  // step 2 may not run yet
  ahead.wait(3);  // step 2 on the way to 3
  ahead.allow(6);
  ahead.wait(4);  // step 5 may run now
  EXPECT_TRUE(ahead.has_run(4));
  EXPECT_FALSE(ahead.has_run(5));
  EXPECT_EQ(ran, (std::vector<std::pair<uint64_t, bool>>{{0, false}, {1, false}, {2, true}, {3, false}, {4, true}}));

  // A failing step is reported by the wait for that very step (its result
  // is not there to use) and by every wait after it; the steps before it
  // stay good, and nothing runs after it.
  WorkAhead failing(job, [&](uint64_t index, bool, bool) {
    if (index == 2) raise_error(ErrorCode::IO_ERROR);
  });
  failing.allow(5);
  EXPECT_NO_THROW(failing.wait(1));
  EXPECT_THROW(failing.wait(2), TarnError);
  EXPECT_THROW(failing.wait(4), TarnError);
  EXPECT_FALSE(failing.has_run(3));
}

// A job that lets a worker run several steps at once, past one that fails
// there: nothing after the failing step runs, and waiting for a later step
// rethrows that first failure (every step from it on would fail with its
// own index).
class FailsAheadJob : public StreamJob {
 public:
  bool next_piece(Piece&) override {
    WorkAhead ahead(*this, [this](uint64_t index, bool, bool on_worker) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ran_.emplace_back(index, on_worker);
      }
      if (index >= 2) raise_error(ErrorCode::IO_ERROR, "step " + std::to_string(index));
    });
    ahead.allow(8);
    for (int wait = 0; wait < 10000 && !ahead.has_run(2); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Time for a worker that went on past the failure to show it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(ahead.has_run(3));
    try {
      ahead.wait(6);
    } catch (const TarnError& e) {
      rethrown_ = e.detail();
    }
    return false;
  }
  std::mutex mutex_;
  std::vector<std::pair<uint64_t, bool>> ran_;  // step, on a worker
  std::string rethrown_;
};

TEST(WorkAhead, AFailureOnAWorkerEndsTheStepsAllowedAfterIt) {
  OrderedStreams runner(2, 1, [](size_t) { return std::make_unique<FailsAheadJob>(); });
  Piece piece;
  EXPECT_FALSE(runner.take(0, piece));
  auto* job = static_cast<FailsAheadJob*>(&runner.job(0));
  std::lock_guard<std::mutex> lock(job->mutex_);
  EXPECT_EQ(job->ran_, (std::vector<std::pair<uint64_t, bool>>{{0, true}, {1, true}, {2, true}}));
  EXPECT_EQ(job->rethrown_, "step 2");
  runner.release(0);
}

// One file of three chunks with blocks of every kind -- text, x86 code,
// samples (the order-0 coder's blocks), pixels, a spreadsheet, noise, and
// long repeats the prepass takes -- so that one stream does all its steps,
// on one thread or two. The samples stay whole; the rest start at
// different places in every round.
std::string large_mixed_file() {
  const std::vector<uint8_t> walk_bytes = testdata::random_walk(300000, 14);
  const std::string walk(walk_bytes.begin(), walk_bytes.end());
  std::string out;
  for (int round = 0; out.size() < 3 * CHUNK_SIZE - 300000; ++round) {
    for (const char* name : {"golden/inputs/x86code", "canterbury/alice29.txt", "golden/inputs/stereo16",
                             "golden/inputs/pixels24", "canterbury/kennedy.xls", "golden/inputs/cyr1251",
                             "golden/inputs/repeats", "canterbury/ptt5", "golden/inputs/textnoise"}) {
      const std::vector<uint8_t> part = testdata::data_bytes(name);
      const bool whole = std::string(name).find("stereo16") != std::string::npos;
      out.append(part.begin() + (whole ? 0 : static_cast<long>((round * 9973u) % (part.size() / 2))), part.end());
    }
    out += walk;
  }
  return out + random_text(200000, 61);
}

// The archive and the console texts of packing, testing and extracting one
// large file are the same for 1, 2 and 4 workers, with a good archive and a
// damaged one; the extracted file is the input.
TEST(ParallelLargeFile, OneStreamIsTheSameForAnyWorkerCount) {
  TempDir dir;
  const std::string input = large_mixed_file();
  write_file("big/large.bin", input);
  const FileList list = testing::select_files({"big/"});
  const Outcome packed = create_for_each_worker_count(false, &list);
  EXPECT_EQ(packed.error, testdata::NO_ERROR) << packed.output;
  const std::string reference = read_file("w1.trn");
  const FileList table = testing::read_table("w1.trn");
  const FileEntry& entry = table.entries().front();
  ASSERT_EQ(entry.flags & FLAG_STORED, 0);
  std::string damaged = reference;
  for (size_t at = entry.offset + entry.packed_size / 2; at < entry.offset + entry.packed_size; at += 100003)
    damaged[at] = static_cast<char>(damaged[at] ^ 0x21);
  write_file("damaged.trn", damaged);
  for (const char* name : {"w1.trn", "damaged.trn"}) {
    SCOPED_TRACE(name);
    const Outcome tested = same_for_each_worker_count({1u, 2u, 4u}, [&](unsigned w) { return extract(name, false, w, "."); });
    EXPECT_EQ(tested.output.find("CRC") == std::string::npos, name == std::string("w1.trn"));
    same_for_each_worker_count({1u, 2u, 4u}, [&](unsigned workers) {
      const std::string out_dir = "out" + std::to_string(workers);
      const Outcome run = extract(name, true, workers, out_dir);
      if (workers == 1) return run;
      EXPECT_TRUE(read_file(out_dir + "/big/large.bin") == read_file("out1/big/large.bin")) << workers;
      std::filesystem::remove_all(out_dir);
      return run;
    });
    if (name == std::string("w1.trn")) {
      EXPECT_TRUE(read_file("out1/big/large.bin") == input);
    }
    std::filesystem::remove_all("out1");
  }
}

// A fatal error in the middle of the stream -- the file shrinks before its
// second chunk is read (on the helper, while the first is coded), or the
// output stops taking bytes in the middle of the file (while the next
// blocks are decoded) -- ends the run exactly as with one worker.
TEST(ParallelLargeFile, AFatalErrorInTheMiddleEndsTheRunAsWithOneWorker) {
  TempDir dir;
  write_file("big/large.bin", large_mixed_file());
  const FileList list = testing::select_files({"big/"});
  ASSERT_EQ(create("whole.trn", false, 1, &list).error, testdata::NO_ERROR);
  std::filesystem::resize_file("big/large.bin", CHUNK_SIZE + CHUNK_SIZE / 2);
  EXPECT_EQ(same_for_each_worker_count({1u, 2u, 4u}, [&](unsigned w) { return create("cut.trn", false, w, &list); }).error,
            ErrorCode::IO_ERROR);
  // The output may not grow past 6 MB: writing the second chunk fails.
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = old;
  limited.rlim_cur = 6 << 20;
  ::setrlimit(RLIMIT_FSIZE, &limited);
  const Outcome first = same_for_each_worker_count({1u, 2u, 4u}, [](unsigned workers) {
    const Outcome run = extract("whole.trn", true, workers, "out");
    EXPECT_FALSE(std::filesystem::exists("out/big/large.bin")) << workers;
    int temporaries = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator("out")) temporaries += e.is_regular_file();
    EXPECT_EQ(temporaries, 0) << workers;
    return run;
  });
  EXPECT_EQ(first.error, ErrorCode::IO_ERROR);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
}

#if defined(__linux__)
// A run confined to some processors starts one worker per processor it may
// use, not per processor of the machine (the mask is the calling thread's).
TEST(Workers, OnePerProcessorTheRunMayUse) {
  cpu_set_t all;
  CPU_ZERO(&all);
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(platform::usable_processors(), static_cast<unsigned>(CPU_COUNT(&all)));
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  const unsigned confined = platform::usable_processors();
  ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(confined, 1u);
}
#endif

}  // namespace
}  // namespace tarn
