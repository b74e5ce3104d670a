// Unhappy paths, tried as an unlucky user and a hostile archive author
// would: an archive that holds itself, files replaced under failures and
// signals, creation that fails over an existing archive, runs with no room
// outside the chosen directories, hostile names and patterns. One test per
// theme; standard output keeps the program's fixed texts, and what a user
// needs beyond them is checked on standard error.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The temporaries tarnc writes (".tarnc-*.tmp") anywhere in the sandbox.
std::vector<std::string> temporaries(const Sandbox& box) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& p : fs::recursive_directory_iterator(box.dir(), ec)) {
    const std::string name = p.path().filename().string();
    if (name.starts_with(".tarnc-") && name.ends_with(".tmp")) found.push_back(name);
  }
  return found;
}

mode_t mode_of(const Sandbox& box, const std::string& rel) {
  struct stat st {};
  ::lstat(box.path(rel).c_str(), &st);
  return st.st_mode & 07777;
}

// --- 1. Extraction never destroys the archive it reads.

TEST(UnhappyE2E, ExtractionSkipsTheArchiveItReadsAndGoesOn) {
  SKIP_ON_WINDOWS("links");
  struct Case {
    const char* name;
    const char* method;
    const char* reached;  // how out/zz.trn leads to the archive: "" (in place), "symlink", "hardlink"
  };
  const Case cases[] = {{"stored_in_place", "-m0", ""},
                        {"packed_in_place", "-mn", ""},
                        {"through_a_symbolic_link", "-mq", "symlink"},
                        {"through_a_hard_link", "-mf", "hardlink"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    // zz.trn holds an older zz.trn, then c.txt and a.txt (descending names).
    box.write("a.txt", mixed_text(3000, 1));
    box.write("c.txt", mixed_text(2000, 2));
    ASSERT_EQ(box.tarnc({"c", c.method, "zz.trn", "a.txt"}).status, 0);
    ASSERT_EQ(box.tarnc({"c", c.method, "new.trn", "zz.trn", "a.txt", "c.txt"}).status, 0);
    ASSERT_TRUE(box.sh("mv new.trn zz.trn && rm a.txt c.txt"));
    const std::string archive = box.read("zz.trn");
    std::vector<std::string> args{"x", "zz.trn", "*"};
    if (std::string(c.reached) != "") {
      fs::create_directories(box.dir() / "out");
      if (std::string(c.reached) == "symlink") fs::create_symlink("../zz.trn", box.dir() / "out/zz.trn");
      else fs::create_hard_link(box.dir() / "zz.trn", box.dir() / "out/zz.trn");
      args = {"x", "-oout", "zz.trn", "*"};
    }
    const RunResult r = box.tarnc(args);
    EXPECT_RUN(r, 0, "\nDecompressed 3 file(s) in ");
    EXPECT_TRUE(contains(r.err, "tarnc: skipped zz.trn: it is the archive being read")) << r.err;
    EXPECT_TRUE(box.read("zz.trn") == archive);
    const std::string dir = std::string(c.reached) == "" ? "" : "out/";
    EXPECT_EQ(box.read(dir + "a.txt"), mixed_text(3000, 1));
    EXPECT_EQ(box.read(dir + "c.txt"), mixed_text(2000, 2));
    EXPECT_TRUE(temporaries(box).empty());
  }
}

#ifdef TARN_SFX_PATH
TEST(UnhappyE2E, SelfExtractorSkipsItself) {
  SKIP_ON_WINDOWS("runs the POSIX stub");
  Sandbox box;
  const std::string stub = testing::read_file(env_or("TARN_E2E_SFX", TARN_SFX_PATH));
  const std::string exe = build_archive({{file_entry("self.exe", "not me"), "not me"}, {file_entry("a.txt", "alpha"), "alpha"}},
                                        0, stub);
  box.write("self.exe", exe);
  ASSERT_TRUE(box.sh("chmod 755 self.exe"));
  const RunResult r = box.run_program(box.path("self.exe"), {});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.err, "skipped self.exe: it is the archive being read")) << r.err;
  EXPECT_TRUE(box.read("self.exe") == exe);
  EXPECT_EQ(box.read("a.txt"), "alpha");
}
#endif

// --- 2. Files are replaced whole, as new files, or not at all.

TEST(UnhappyE2E, ExistingFilesAreReplacedWholeOrLeftAsTheyWere) {
  SKIP_ON_WINDOWS("POSIX modes and links");
  Sandbox box;
  // A hard link to a file outside the output directory, a set-uid file and
  // an executable one: each becomes a new plain file.
  box.write("outside.txt", "outside");
  fs::create_directories(box.dir() / "o");
  fs::create_hard_link(box.dir() / "outside.txt", box.dir() / "o/linked.txt");
  box.write("o/setuid.txt", "old");
  box.write("o/exec.txt", "old");
  ASSERT_TRUE(box.sh("chmod 4755 o/setuid.txt && chmod 755 o/exec.txt"));
  box.write("plain.trn", build_archive({{file_entry("linked.txt", "new 1"), "new 1"},
                                        {file_entry("setuid.txt", "new 2"), "new 2"},
                                        {file_entry("exec.txt", "new 3"), "new 3"}},
                                       0));
  EXPECT_EQ(box.tarnc({"x", "-oo", "plain.trn", "*"}).status, 0);
  EXPECT_EQ(box.read("outside.txt"), "outside");
  EXPECT_EQ(box.read("o/linked.txt"), "new 1");
  EXPECT_EQ(fs::hard_link_count(box.dir() / "o/linked.txt"), 1u);
  const mode_t plain = 0666 & ~[] { const mode_t m = ::umask(0); ::umask(m); return m; }();
  for (const char* f : {"o/linked.txt", "o/setuid.txt", "o/exec.txt"}) EXPECT_EQ(mode_of(box, f), plain) << f;

  // A fatal error in the middle of a file (its stored data runs past the
  // end of the archive): the file that was there stays as it was, and the
  // entries after it are not written.
  box.write("o/b.txt", "precious b");
  box.write("cut.trn", build_archive({{file_entry("c.txt", "first"), "first"},
                                      {file_entry("b.txt", std::string(5000, 'b')), "bbb"},
                                      {file_entry("a.txt", "last"), "last"}},
                                     0));
  RunResult r = box.tarnc({"x", "-oo", "cut.trn", "*"});
  EXPECT_TRUE(r.out.ends_with("\nFATAL: I/O error\n\n")) << r.out;
  EXPECT_TRUE(contains(r.err, "tarnc: cut.trn: stored data past the end of the file")) << r.err;
  EXPECT_EQ(box.read("o/c.txt"), "first");
  EXPECT_EQ(box.read("o/b.txt"), "precious b");
  EXPECT_FALSE(box.exists("o/a.txt"));

  // A write that fails (file-size limit of 8 blocks): the same, and the
  // system's reason on standard error.
  box.write("o/big.txt", "precious big");
  box.write("src/big.txt", random_text(200000, 5));
  std::string create = "cd src &&";
  for (const auto& w : command_words(tarnc_path())) create.append(" ").append(quote(w));
  ASSERT_TRUE(box.sh(create + " c -mq ../big.trn big.txt >/dev/null"));
  r = box.tarnc_after("ulimit -f 8; ", {"x", "-oo", "big.trn", "*"});
  EXPECT_TRUE(r.out.ends_with("\nFATAL: I/O error\n\n")) << r.out;
  EXPECT_TRUE(contains(r.err, "o/big.txt: File too large")) << r.err;
  EXPECT_EQ(box.read("o/big.txt"), "precious big");
  EXPECT_TRUE(temporaries(box).empty());
}

// --- 3. Failures leave no temporary and every file as it was (signals:
// output_tree_e2e_test.cpp).

TEST(UnhappyE2E, FailedCreationLeavesTheArchiveThatWasThere) {
  Sandbox box;
  box.write("in/a.txt", random_text(100000, 3));
  box.write("old.trn", "precious");
  // Sparse files, large on paper: the limits are checked before any data is
  // read. 2,128,609,281 bytes in all is one more than allowed; 2,128,609,280
  // is allowed, and the run then fails at once on a file-size limit.
  ASSERT_TRUE(box.sh("mkdir big && truncate -s 4G big/huge && truncate -s 1064304641 big/half1 && "
                     "truncate -s 1064304640 big/half2 && truncate -s 1064304640 big/other2"));
  struct Case {
    std::string shell;  // run first in the same shell (POSIX only)
    std::vector<std::string> args;
    const char* fatal;
    const char* note;  // on standard error, or ""
  };
  const Case cases[] = {
      {"", {"c", "old", "in/*.none"}, "Nothing to do!", ""},
      {"ulimit -f 8; ", {"c", "-m0", "old", "in/*"}, "I/O error", "tarnc: old.trn: File too large"},
      {"", {"c", "old", "in/*", "@missing.lst"}, "I/O error", "tarnc: missing.lst: No such file or directory"},
      {"", {"c", "nodir/x", "in/*"}, "Cannot open archive!", "tarnc: nodir/x.trn: No such file or directory"},
      {"", {"c", "-s", "old.trn", "in/*"}, "Unable to append SFX code!", "tarnc: tarn32.sfx: No such file"},
      {"", {"c", "old", "big/huge"}, "Archive too big (max. 2 Gb)!", ""},
      {"", {"c", "-m0", "old", "big/half*"}, "Archive too big (max. 2 Gb)!", ""},
      {"ulimit -f 64; ", {"c", "-m0", "old", "big/half2", "big/other2"}, "I/O error", "tarnc: old.trn: File too large"},
      // A stub that holds the archive magic would hide the archive behind it.
      {"printf 'MZ stub TRN\\032 more' > tarn32.sfx; ", {"c", "-s", "old.trn", "in/*"}, "Unable to append SFX code!",
       "tarnc: tarn32.sfx: holds the four bytes an archive starts with (at byte 8)"},
      {"printf %600000s > tarn32.sfx; ", {"c", "-s", "old.trn", "in/*"}, "SFX code too big!", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shell + c.args.back());
    if (on_windows() && !c.shell.empty()) continue;
    const RunResult r = box.tarnc_after(c.shell, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("\nFATAL: " + std::string(c.fatal) + "\n\n")) << r.out;
    EXPECT_TRUE(on_windows() || contains(r.err, c.note)) << r.err;
    EXPECT_EQ(box.read("old.trn"), "precious");
    EXPECT_FALSE(box.exists("old.trn.exe") || box.exists("nodir"));
    EXPECT_TRUE(temporaries(box).empty());
  }
  ASSERT_TRUE(box.sh("rm -rf big tarn32.sfx"));
  // A fifo, a device (through a link) or a socket of the archive's name is
  // refused before anything is written, and stays what it was.
  if (!on_windows()) {
    ASSERT_TRUE(box.sh("mkfifo fifo.trn && ln -s /dev/null dev.trn"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string sock_path = box.path("sock.trn");
    ASSERT_LT(sock_path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, sock_path.c_str(), sock_path.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    for (const char* special : {"fifo", "dev", "sock"}) {
      SCOPED_TRACE(special);
      const RunResult r = box.tarnc({"c", "-m0", special, "in/*"});
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.out.ends_with("\nFATAL: Cannot open archive!\n\n")) << r.out;
      EXPECT_TRUE(contains(r.err, "tarnc: " + std::string(special) + ".trn: not a regular file")) << r.err;
      EXPECT_TRUE(temporaries(box).empty());
    }
    ::close(sock);
    struct stat st {};
    EXPECT_TRUE(::lstat(box.path("fifo.trn").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(::lstat(box.path("sock.trn").c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
    EXPECT_EQ(fs::read_symlink(box.dir() / "dev.trn"), "/dev/null");
    EXPECT_TRUE(::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
    ASSERT_TRUE(box.sh("rm -f fifo.trn dev.trn sock.trn"));
  }
  // An archive that may not be written is not replaced either.
  if (!on_windows() && ::geteuid() == 0) {
    ASSERT_TRUE(box.sh("chmod 777 . && chmod 444 old.trn"));
    const RunResult r = tarnc_unprivileged(box, {"c", "-m0", "old", "in/*"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("\nFATAL: Cannot open archive!\n\n")) << r.out;
    EXPECT_EQ(box.read("old.trn"), "precious");
    ASSERT_TRUE(box.sh("chmod 644 old.trn && rm -f run.out run.err"));
  }
  // A run that succeeds replaces the archive, which it never selects itself.
  EXPECT_EQ(box.tarnc({"c", "-m0", "old", "*", "in/*"}).status, 0);
  const RunResult list = box.tarnc({"l", "old"});
  EXPECT_TRUE(contains(list.out, "in\\a.txt") && !contains(list.out, "old.trn") && !contains(list.out, ".tarnc-"))
      << list.out;
}

// --- 4. Nothing is staged outside the chosen directories; memory is bounded.

// Runs `args` with /tmp replaced by a 64 KiB file system of its own, or
// returns status -2 when the system does not allow it.
RunResult with_tiny_tmp(const Sandbox& box, const std::vector<std::string>& args) {
  // The program runs from a copy in the sandbox, which stays reachable as
  // the current directory: the build may lie under /tmp.
  std::vector<std::string> words = sandboxed_tarnc(box);
  words.back() = "./bin/tarnc";
  std::string command = "mount -t tmpfs -o size=64k tmpfs /tmp && exec";
  for (const auto& w : words) command.append(" ").append(quote(w));
  for (const auto& a : args) command.append(" ").append(quote(a));
  if (!box.sh("unshare -m true 2>/dev/null")) return RunResult{"", "", -2};
  return box.run_program("unshare", {"-m", "sh", "-c", command}, true);
}

TEST(UnhappyE2E, NothingIsStagedOutsideTheChosenDirectories) {
  SKIP_ON_WINDOWS("POSIX mounts and limits");
  Sandbox box;
  // A file that does not pack (stored) and one that does, both above the
  // size that was once staged in /tmp.
  box.write("in/noise.bin", random_text(3 << 20, 8));
  box.write("in/text.txt", mixed_text(5 << 20, 9));
  RunResult r = with_tiny_tmp(box, {"c", "-mq", "a.trn", "in/*"});
  if (r.status == -2) GTEST_SKIP() << "no mount namespace here";
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = with_tiny_tmp(box, {"t", "a.trn", "*"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(contains(r.out, "CRC")) << r.out;
  r = with_tiny_tmp(box, {"x", "-oout", "a.trn", "*"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(box.read("out/in/text.txt") == mixed_text(5 << 20, 9));
  // A test writes nothing at all: not even a file-size limit of 0 stops it.
  r = box.tarnc_after("ulimit -f 0; ", {"t", "a.trn", "*"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// Peak memory of c, t and x: at most one model heap plus 16 MiB per worker
// (and the program itself), whatever the sizes -- here two files of 24 MB
// at Quickest (5 MiB heap), one stream after the other or side by side.
TEST(UnhappyE2E, MemoryStaysBoundedWhateverTheSizes) {
  SKIP_UNLESS_PEAK_MEMORY_IS_THE_PROGRAMS();
  Sandbox box;
  in_child([&] {
    const std::string text = mixed_text(24 << 20, 31);
    for (const char* f : {"one/a.txt", "two/a.txt", "two/b.txt"}) box.write(f, text);
  });
  constexpr long PROGRAM_KB = 4 << 10, HEAP_KB = 5 << 10, PER_WORKER_KB = 16 << 10;
  for (const char* dir : {"one", "two"}) {
    SCOPED_TRACE(dir);
    const long workers = std::string(dir) == "one" ? 1 : 2;
    const long bound = PROGRAM_KB + workers * (HEAP_KB + PER_WORKER_KB);
    const std::string archive = std::string(dir) + ".trn";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"c", "-mq", archive, std::string(dir) + "/*"}, {"t", archive, "*"}, {"x", "-oout", archive, "*"}}) {
      const Measured m = run_measured(box, args);
      EXPECT_EQ(m.status, 0) << args[0] << m.out;
      EXPECT_LT(m.max_rss_kb, bound) << args[0];
    }
  }
  EXPECT_TRUE(box.read("out/two/b.txt") == box.read("one/a.txt"));
}

// Where not one worker thread can be started (a user at the limit of their
// processes), the runs do the work on their own thread instead of ending
// with "terminate called".
TEST(UnhappyE2E, RunsWhereNoThreadCanStart) {
  SKIP_ON_WINDOWS("POSIX users and limits");
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  Sandbox box;
  box.write("in/a.txt", mixed_text(300000, 5));
  box.write("in/b.txt", mixed_text(200000, 6));
  ASSERT_TRUE(box.sh("chmod -R a+rwX ."));
  ::chmod(box.dir().c_str(), 0777);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"c", "a.trn", "in/*"}, {"t", "a.trn", "*"}, {"x", "-oout", "a.trn", "*"}}) {
    const RunResult r = tarnc_unprivileged(box, args, true);
    EXPECT_EQ(r.status, 0) << args[0] << r.out << r.err;
  }
  EXPECT_EQ(box.read("out/in/a.txt"), mixed_text(300000, 5));
}

// --- 7. Hostile names and patterns.

TEST(UnhappyE2E, HostileNamesAndPatternsChangeNothingAndTakeNoTime) {
  Sandbox box;
  // Directory entries that name the output directory itself, with 0777.
  std::vector<RawEntry> dirs;
  for (const char* name : {"..", ".", "\\", "C:", ".\\..\\"}) {
    FileEntry d = file_entry(name, "");
    d.attributes = ATTR_DIRECTORY | (040777u << 16);
    d.flags = 0;
    dirs.push_back({d, ""});
  }
  box.write("dirs.trn", build_archive(dirs, 3));
  fs::create_directories(box.dir() / "o");
  ASSERT_TRUE(box.sh("chmod 755 o"));
  RunResult r = box.tarnc({"x", "-oo", "dirs.trn", "*"});
  EXPECT_RUN(r, 0, "\nWARNING: unsafe path \"..\" written as \"\"");
  if (!on_windows()) {
    EXPECT_EQ(mode_of(box, "o"), 0755u);
  }

  // A name of 32,000 components is skipped, with a note, and costs nothing.
  std::string deep;
  for (int i = 0; i < 32000; ++i) deep += "d\\";
  deep += "f.txt";
  // A name of 64 KB against a pattern that once backtracked for minutes.
  const std::string wide = std::string(65000, 's') + ".txt";
  box.write("names.trn", build_archive({{file_entry(deep, "deep"), "deep"},
                                        {file_entry(wide.substr(0, 65000), "wide"), "wide"},
                                        {file_entry("dir/sub/flat.txt", "flat"), "flat"}},
                                       0));
  box.write("esc.trn", build_archive({{file_entry("esc\x1b[2Jape\x7f.txt", "esc"), "esc"}}, 0));
  const auto start = Clock::now();
  r = box.tarnc({"t", "names.trn", "*s*d*.txt", "*"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 20.0);
  r = box.tarnc({"x", "-ox", "names.trn", "*"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.err, "skipped d\\d\\")) << r.err.substr(0, 200);
  EXPECT_TRUE(contains(r.err, "its name is too long")) << r.err.substr(0, 200);
  EXPECT_FALSE(box.exists("x/d"));
  // Control bytes are shown as "?" in everything printed; the file keeps
  // them (where the system takes such a name).
  for (const std::string command : {"l", "t", "x", "e"}) {
    if (on_windows() && (command == "x" || command == "e")) continue;
    r = box.tarnc({command, "-oy", "esc.trn", "*"});
    EXPECT_TRUE(contains(r.out, "esc?[2Jape?.txt")) << command;
    EXPECT_FALSE(contains(r.out, "\x1b")) << command;
  }
  EXPECT_TRUE(on_windows() || box.read("y/esc\x1b[2Jape\x7f.txt") == "esc");
  // e drops every directory part, "/" ones too.
  EXPECT_EQ(box.tarnc({"e", "-oz", "names.trn", "dir*"}).status, 0);
  EXPECT_EQ(box.read("z/flat.txt"), "flat");

  // A fifo is no archive: refused at once instead of waited on.
  if (!on_windows()) {
    ASSERT_TRUE(box.sh("mkfifo fifo"));
    const pid_t pid = start_tarnc(box, {"l", "fifo"});
    int status = 0;
    const bool ended = wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(box.read("run.out").ends_with("\nFATAL: Cannot open archive!\n\n")) << box.read("run.out");
  }
}

}  // namespace
}  // namespace tarn::e2e
