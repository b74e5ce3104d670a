// What tarnc says beside its fixed texts: names that hold terminal control
// characters, shown without them everywhere they are printed, and every
// file that `c` leaves out or cannot take whole, one line on standard error
// each, while standard output keeps the format's texts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;

// A console with a code page (Windows) shows the bytes of CSI and OSC as
// two printable characters each; one that reads UTF-8 sees controls there.

// Bytes no line printed may hold: ESC, BEL, and CSI and OSC as UTF-8.
void expect_no_controls(const std::string& text, const std::string& what) {
  for (const std::string bad : {"\x1b", "\x07", "\xC2\x9B", "\xC2\x9D"})
    if (!on_windows() || bad.size() == 1) {
      EXPECT_FALSE(contains(text, bad)) << what;
    }
}

TEST(NotesE2E, NamesReachNoTerminalWithTheirControlCharacters) {
  Sandbox box;
  // A directory part with ESC and CSI, a name with OSC ... BEL.
  const std::string dir = "d\x1b[31m\xC2\x9B" "2J";
  const std::string name = "osc\xC2\x9D" "0;x\x07.txt";
  box.write("esc.trn", build_archive({{file_entry(dir + "\\f.txt", "ff"), "ff"}, {file_entry(name, "nn"), "nn"}}, 0));

  // The listing: each control one "?" in the 18-character field.
  RunResult r = box.tarnc({"l", "esc.trn"});
  EXPECT_EQ(r.status, 0);
  if (on_windows()) {
    // The field is mapped to the console's code page there: 0xC2 becomes 0x82.
    EXPECT_TRUE(contains(r.out, "   osc\x82\x9D" "0;x?.txt     \n")) << r.out;
    EXPECT_TRUE(contains(r.out, "   d?[31m\x82\x9B" "2J\\f.txt  \n")) << r.out;
  } else {
    EXPECT_TRUE(contains(r.out, "   osc?0;x?.txt      \n")) << r.out;
    EXPECT_TRUE(contains(r.out, "   d?[31m?2J\\f.txt   \n")) << r.out;
  }
  expect_no_controls(r.out, "l");

  // A fatal error whose detail names the entry's directory: a file of that
  // name stands where the directory must be made.
  SKIP_ON_WINDOWS("the control bytes are no names there");
  fs::create_directories(box.dir() / "o");
  box.write("o/" + dir, "in the way");
  r = box.tarnc({"x", "-oo", "esc.trn", "*"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.err, "d?[31m?2J")) << r.err;
  expect_no_controls(r.out, "x out");
  expect_no_controls(r.err, "x err");

  // A CRC error names the entry on standard error.
  FileEntry damaged = file_entry(name, "nn");
  damaged.crc ^= 1;
  box.write("crc.trn", build_archive({{damaged, "nn"}}, 0));
  r = box.tarnc({"t", "crc.trn", "*"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.err, "CRC error: osc?0;x?.txt\n")) << r.err;
  expect_no_controls(r.out + r.err, "t");

  // tarn-inspect names the archive it cannot open the same way.
  r = box.run_program(TARN_INSPECT_PATH, {"no\x1b]0;t\x07.trn"}, true);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "no?]0;t?.trn: ")) << r.err;
  expect_no_controls(r.err, "inspect");
}

TEST(NotesE2E, WhatCreationLeavesOutIsToldOneLineEach) {
  SKIP_ON_WINDOWS("backslashes, modes and path limits of POSIX");
  Sandbox box;
  box.write("in/ok.txt", "kept");
  box.write("in/a\\b.txt", "a backslash");
  box.write("in/closed.txt", "nobody may read this");
  ASSERT_TRUE(box.sh("chmod 000 in/closed.txt && chmod -R a+rwX in && chmod 000 in/closed.txt"));
  // Directories nested past the system's path limit, made one step at a time.
  const std::string part(200, 'p');
  fs::create_directories(box.dir() / "in/deep");
  const fs::path here = fs::current_path();
  fs::current_path(box.dir() / "in/deep");
  for (int i = 0; i < 24; ++i) {
    fs::create_directory(part);
    fs::current_path(part);
  }
  std::ofstream("f.txt") << "f";
  fs::current_path(here);
  const RunResult base = box.tarnc({"c", "base", "in/ok.txt"});
  ASSERT_EQ(base.status, 0) << base.out;

  const RunResult r = tarnc_unprivileged(box, {"c", "-r", "a", "in/", "nothing*.here"});
  EXPECT_EQ(r.status, 0) << r.out;
  // Standard output is that of an archive of the one file kept.
  EXPECT_EQ(mask_seconds(r.out), mask_seconds(base.out).replace(base.out.find("base.trn"), 8, "a.trn   "));
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = r.err.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(r.err.substr(at, end - at));
  ASSERT_EQ(lines.size(), 4u) << r.err.substr(0, 600);
  EXPECT_EQ(lines[0], "tarnc: left out in/a\\b.txt: its name holds a backslash, the separator inside archives");
  EXPECT_EQ(lines[1], "tarnc: left out in/closed.txt: Permission denied");
  EXPECT_TRUE(lines[2].starts_with("tarnc: left out in/deep/" + part + "/")) << lines[2].substr(0, 250);
  EXPECT_TRUE(lines[2].ends_with(": File name too long")) << lines[2].substr(lines[2].size() - 80);
  EXPECT_EQ(lines[3], "tarnc: no file matches nothing*.here");
  const RunResult listed = box.tarnc({"l", "a.trn"});
  EXPECT_TRUE(contains(listed.out, "in\\ok.txt")) << listed.out;
  EXPECT_TRUE(contains(listed.out, "\n1 file(s)\n")) << listed.out;
  ASSERT_TRUE(box.sh("rm -rf in/deep"));  // too long a path to remove by name
}

TEST(NotesE2E, FilesOfTheWrongSizeAreNamedWithWhatWasStored) {
  SKIP_ON_WINDOWS("sparse files and the system's own files");
  Sandbox box;
  // 5 GiB, sparse: the refusal comes before a byte of it is read (reading
  // it would take minutes), and names it.
  box.write("big.bin", "");
  fs::resize_file(box.dir() / "big.bin", 5ull << 30);
  const auto start = std::chrono::steady_clock::now();
  RunResult r = box.tarnc({"c", "big", "big.bin"});
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
  EXPECT_FATAL(r, "Archive too big (max. 2 Gb)!");
  EXPECT_EQ(r.err, "tarnc: big.bin: 4 GiB or more, too big for an archive\n");
  // Under 4 GiB, but more than the archive holds with another file.
  fs::resize_file(box.dir() / "big.bin", 2128609280ull);
  box.write("one.txt", "1");
  r = box.tarnc({"c", "big", "big.bin", "one.txt"});
  EXPECT_FATAL(r, "Archive too big (max. 2 Gb)!");
  EXPECT_TRUE(contains(r.err, ": with it the files total 2128609281 bytes, more than the 2128609280 an archive holds\n"))
      << r.err;
  EXPECT_FALSE(box.exists("big.trn"));

  // A file the system gives more bytes than its size says (those of /proc
  // say 0): its selected size is stored, and the note says so.
  if (fs::exists("/proc/version")) {
    r = box.tarnc({"c", "proc", "/proc/version"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "tarnc: /proc/version: longer than when it was selected; its first 0 bytes were stored\n");
  }
  // One that gives fewer (those of /sys say 4096) ends the run, naming it.
  const std::string shrinking = "/sys/devices/system/cpu/online";
  if (fs::exists(shrinking) && fs::file_size(shrinking) > testing::read_file(shrinking).size()) {
    r = box.tarnc({"c", "sys", shrinking});
    EXPECT_FATAL(r, "I/O error");
    EXPECT_EQ(r.err, "tarnc: " + shrinking + ": shorter than when it was selected, so nothing was stored\n");
    EXPECT_FALSE(box.exists("sys.trn"));
  }
}

}  // namespace
}  // namespace tarn::e2e
