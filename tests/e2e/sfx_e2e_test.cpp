// The self-extractor stub: the built file itself, self-extracting archives
// made with it and run in an empty directory, and stubs without a usable
// archive behind them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

const std::string STUB_BANNER = "\n *** Tarn self-extracting archive. Version 0.75 pre-beta 1\n\n";

std::string sfx_path() { return env_or("TARN_E2E_SFX", TARN_SFX_PATH); }

// Bytes and last-write times of every file, and the mode bits of every
// entry (on Windows: the type and the owner's write bit), are equal in both trees.
void expect_same_tree(const fs::path& a, const fs::path& b) {
  size_t files = 0;
  const unsigned mode_bits = on_windows() ? S_IFMT | S_IWUSR : ~0u;
  for (const auto& e : fs::recursive_directory_iterator(a)) {
    const fs::path rel = fs::relative(e.path(), a);
    struct stat sa, sb;
    ASSERT_EQ(::lstat(e.path().c_str(), &sa), 0);
    ASSERT_EQ(::lstat((b / rel).c_str(), &sb), 0) << rel;
    EXPECT_EQ(sa.st_mode & mode_bits, sb.st_mode & mode_bits) << rel;
    if (S_ISREG(sa.st_mode)) {
      ++files;
      EXPECT_EQ(testing::read_file(e.path()), testing::read_file(b / rel)) << rel;
      EXPECT_EQ(sa.st_mtime, sb.st_mtime) << rel;
    }
  }
  EXPECT_EQ(files, 9u);
}

TEST(SfxStub, BuiltStubIsSmallAndHoldsNoMagic) {
  const std::string stub = testing::read_file(sfx_path());
  ASSERT_FALSE(stub.empty());
  EXPECT_LE(stub.size(), SFX_STUB_LIMIT);
  EXPECT_FALSE(contains(stub, std::string("TRN\x1A", 4)));
}

TEST(SfxE2E, SelfExtractingArchiveRecreatesTheTreeLikeExtract) {
  // Files of every kind the stub must restore: packed and stored, solid
  // members, empty, executable, read-only, hidden, nested, directories.
  Sandbox box;
  box.write("t/readme.txt", mixed_text(30000, 4));
  for (const char* f : {"t/small1.txt", "t/small2.txt", "t/run.sh", "t/ro.txt", "t/.hidden", "t/sub/deep/tiny.txt"})
    box.write(f, f);
  box.write("t/empty", "");
  box.write("t/sub/noise.bin", random_text(5000, 7));
  fs::create_directories(box.dir() / "t/private");
  ASSERT_TRUE(box.sh("find t -exec touch -d '2011-05-06 07:08:10 UTC' {} + && chmod 755 t/run.sh && "
                     "chmod 444 t/ro.txt && chmod 700 t/private"));
  fs::copy_file(sfx_path(), box.dir() / "tarn32.sfx");
  RunResult r = box.tarnc({"c", "-s", "-b", "-r", "-d", "-mq", "tree", "t/"});
  ASSERT_EQ(r.status, 0) << r.out;
  struct stat st;
  ASSERT_EQ(::stat(box.path("tree.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0111, on_windows() ? st.st_mode & 0111 : 0111u);  // Windows needs no run bit
  // tarnc reads it like any archive.
  const RunResult by_tarnc = box.tarnc({"x", "-oby_tarnc", "tree.exe", "*"});
  ASSERT_EQ(by_tarnc.status, 0) << by_tarnc.out;

  // Run in an empty directory, it extracts with paths into that directory.
  Sandbox run_dir;
  r = run_dir.run_program(box.path("tree.exe"), {});
  ASSERT_EQ(r.status, 0) << r.out;
  expect_same_tree(box.dir() / "t", run_dir.dir() / "t");
  expect_same_tree(box.dir() / "t", box.dir() / "by_tarnc/t");
  // Same progress lines and summary as tarnc x, after its own banner.
  ASSERT_TRUE(r.out.starts_with(STUB_BANNER)) << r.out;
  EXPECT_EQ(mask_seconds(r.out.substr(STUB_BANNER.size())), mask_seconds(by_tarnc.out.substr(banner().size())));
}

TEST(SfxE2E, StubWithoutUsableArchiveFails) {
  Sandbox box;
  fs::copy_file(sfx_path(), box.dir() / "bare");
  RunResult r = box.run_program(box.path("bare"), {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, STUB_BANNER + "Initializing...\n\nFATAL: Not a Tarn archive!\n\n");

  box.write("a.txt", mixed_text(3000, 5));
  fs::copy_file(sfx_path(), box.dir() / "tarn32.sfx");
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
