// Packing and decoding on several workers: the archive, the extracted files
// and the console texts must not depend on the number of workers, and a
// failure in a worker must end the run as it does on one thread.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "archive/extract.h"
#include "cli/console_report.h"
#include "files/wildcard_list.h"
#include "parallel/ordered_streams.h"
#include "pipeline/block_types.h"
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
  CreateOptions options;
  options.coding.method = 1;
  options.solid_blocks = solid;
  options.workers = workers;
  Outcome run;
  run.output = testing::create_from(list ? *list : testing::select_files({"tree/"}, {true, true}), options, name,
                                    &run.error);
  return run;
}

Outcome extract(const std::string& name, bool write, unsigned workers, const std::string& out_dir) {
  ArchiveReader reader;
  reader.open_archive_for_reading(name);
  FileList entries;
  reader.read_file_table(entries);
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
    const Outcome one = create("w1.trn", solid, 1);
    ASSERT_EQ(one.error, NO_ERROR) << one.output;
    const std::string reference = read_file("w1.trn");
    for (const unsigned workers : {2u, 4u}) {
      const std::string name = std::to_string(workers) + "w.trn";
      const Outcome many = create(name, solid, workers);
      EXPECT_EQ(many.output, one.output) << workers << " workers";
      EXPECT_TRUE(read_file(name) == reference) << workers << " workers";
    }
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
      const Outcome one = extract(name, false, 1, ".");
      const Outcome many = extract(name, false, 3, ".");
      EXPECT_EQ(many.error, one.error) << name;
      EXPECT_EQ(many.output, one.output) << name;
    }
    EXPECT_EQ(extract("a.trn", false, 1, ".").output.find("CRC"), std::string::npos);

    std::filesystem::remove_all("out1");
    std::filesystem::remove_all("out3");
    const Outcome one = extract("a.trn", true, 1, "out1");
    const Outcome many = extract("a.trn", true, 3, "out3");
    EXPECT_EQ(many.error, NO_ERROR);
    EXPECT_EQ(many.output, one.output);
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
    const Outcome one = create("x.trn", solid, 1, &list);
    const Outcome many = create("x.trn", solid, 4, &list);
    EXPECT_EQ(one.error, ErrorCode::IO_ERROR);
    EXPECT_EQ(many.error, ErrorCode::IO_ERROR);
    EXPECT_EQ(many.output, one.output);
    EXPECT_NE(one.output.find("mid.txt "), std::string::npos);
  });
}

}  // namespace
}  // namespace tarn

namespace tarn {
namespace {

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
// bytes in them.
std::pair<int, uintmax_t> spill_files() {
  std::pair<int, uintmax_t> found{0, 0};
  for (const auto& e : std::filesystem::directory_iterator("."))
    if (e.path().filename().string().starts_with(".tarnc-")) {
      ++found.first;
      found.second += e.file_size();
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
    std::deque<CountingJob> made;
    for (int id = 0; id < 6; ++id) made.emplace_back(id, 6, 1 << 20, id == 4 ? 3 : -1);
    std::vector<StreamJob*> jobs;
    for (auto& j : made) jobs.push_back(&j);
    const std::string here;
    bool spilled = false;
    {
      OrderedStreams runner(workers, jobs, &here);
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

}  // namespace
}  // namespace tarn
