// The self-extractor stub: the built file itself, self-extracting archives
// made with it and run in an empty directory, and stubs without a usable
// archive behind them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "e2e_support.h"

#ifdef TARN_SFX_PATH

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

const char* const STUB_BANNER = "\n *** Tarn self-extracting archive. Version 0.75 pre-beta 1\n\n";

using testing::read_file;

std::string repeated_text(size_t n) {
  std::string s;
  for (unsigned i = 0; s.size() < n; ++i) s += "line " + std::to_string(i % 97) + " of some text\n";
  s.resize(n);
  return s;
}

// Files of every kind the stub must restore: packed and stored, solid
// members, empty, executable, read-only, hidden, nested, directories.
void make_tree(const Sandbox& box) {
  box.write("t/readme.txt", repeated_text(30000));
  box.write("t/small1.txt", "first small file\n");
  box.write("t/small2.txt", "second small file\n");
  box.write("t/empty", "");
  box.write("t/run.sh", "#!/bin/sh\necho hi\n");
  box.write("t/ro.txt", "read only");
  box.write("t/.hidden", "hidden");
  box.write("t/sub/noise.bin", random_text(5000, 7));
  box.write("t/sub/deep/tiny.txt", "x");
  fs::create_directories(box.dir() / "t/private");
  ASSERT_TRUE(box.sh("find t -exec touch -d '2011-05-06 07:08:10 UTC' {} + && chmod 755 t/run.sh && "
                     "chmod 444 t/ro.txt && chmod 700 t/private"));
}

// Bytes, last-write times and permission bits of every file, and the
// permission bits of every directory, are equal in both trees.
void expect_same_tree(const fs::path& a, const fs::path& b) {
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(a)) {
    const fs::path rel = fs::relative(e.path(), a);
    const fs::path other = b / rel;
    struct stat sa, sb;
    ASSERT_EQ(::lstat(e.path().c_str(), &sa), 0);
    ASSERT_EQ(::lstat(other.c_str(), &sb), 0) << rel;
    EXPECT_EQ(sa.st_mode, sb.st_mode) << rel;
    if (S_ISREG(sa.st_mode)) {
      ++files;
      EXPECT_EQ(read_file(e.path()), read_file(other)) << rel;
      EXPECT_EQ(sa.st_mtime, sb.st_mtime) << rel;
    }
  }
  EXPECT_EQ(files, 9u);
}

TEST(SfxStub, BuiltStubIsSmallAndHoldsNoMagic) {
  const std::string stub = read_file(TARN_SFX_PATH);
  ASSERT_FALSE(stub.empty());
  EXPECT_LE(stub.size(), SFX_STUB_LIMIT);
  EXPECT_EQ(stub.find(std::string("TRN\x1A", 4)), std::string::npos);
}

TEST(SfxE2E, SelfExtractingArchiveRecreatesTheTreeLikeExtract) {
  Sandbox box;
  make_tree(box);
  fs::copy_file(TARN_SFX_PATH, box.dir() / "tarn32.sfx");
  RunResult r = box.tarnc({"c", "-s", "-b", "-r", "-d", "-mq", "tree", "t/"});
  ASSERT_EQ(r.status, 0) << r.out;
  struct stat st;
  ASSERT_EQ(::stat(box.path("tree.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0111, 0111u);
  // tarnc reads it like any archive.
  RunResult by_tarnc = box.tarnc({"x", "-oby_tarnc", "tree.exe", "*"});
  ASSERT_EQ(by_tarnc.status, 0) << by_tarnc.out;

  // Run in an empty directory, it extracts with paths into that directory.
  Sandbox run_dir;
  r = run_dir.run_program(box.path("tree.exe"), {});
  ASSERT_EQ(r.status, 0) << r.out;
  expect_same_tree(box.dir() / "t", run_dir.dir() / "t");
  expect_same_tree(box.dir() / "t", box.dir() / "by_tarnc/t");
  // Same progress lines and summary as tarnc x, after its own banner.
  ASSERT_EQ(r.out.rfind(STUB_BANNER, 0), 0u) << r.out;
  EXPECT_EQ(mask_seconds(r.out.substr(std::string(STUB_BANNER).size())),
            mask_seconds(by_tarnc.out.substr(banner().size())));
}

TEST(SfxE2E, StubWithoutUsableArchiveFails) {
  Sandbox box;
  fs::copy_file(TARN_SFX_PATH, box.dir() / "bare");
  RunResult r = box.run_program(box.path("bare"), {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(STUB_BANNER) + "Initializing...\n\nFATAL: Not a Tarn archive!\n\n");

  box.write("a.txt", repeated_text(3000));
  fs::copy_file(TARN_SFX_PATH, box.dir() / "tarn32.sfx");
  ASSERT_EQ(box.tarnc({"c", "-s", "good", "a.txt"}).status, 0);
  const std::string good = box.read("good.exe");

  // A changed byte in the last stored name: the table CRC no longer matches.
  std::string damaged = good;
  damaged.back() ^= 0x20;
  box.write("damaged", damaged);
  box.write("truncated", good.substr(0, good.size() - 3));
  ASSERT_TRUE(box.sh("chmod 755 damaged truncated && mkdir out"));
  EXPECT_FATAL(box.run_program(box.path("damaged"), {}), "Header damage encountered!");
  EXPECT_FATAL(box.run_program(box.path("truncated"), {}), "I/O error");
}

}  // namespace
}  // namespace tarn::e2e

#endif  // TARN_SFX_PATH
