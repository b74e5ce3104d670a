// The output tree against a hostile co-tenant and an unlucky user: files
// and metadata never land outside the output directory whatever another
// process does to it meanwhile, names that only just fit, and temporaries
// that every signal which ends a run removes (or that have no name at all).
//
// Each run is tried both ways the program makes its temporaries: unnamed,
// as on the usual Linux file systems, and named, as on a file system that
// cannot make unnamed files (emulated with a system-call filter that
// refuses them in the run's process).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// In the calling process and what it runs: opening a file without a name
// fails as on a file system that cannot make one. False where no such
// filter can be set.
bool refuse_unnamed_files() {
#if defined(__x86_64__)
  constexpr uint32_t ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr uint32_t ARCH = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
#if defined(__x86_64__) || defined(__aarch64__)
  constexpr uint32_t UNNAMED_BIT = __O_TMPFILE & ~O_DIRECTORY;
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),  // the flags' low word
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, UNNAMED_BIT),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#endif
}

// Whether the filter works here: a child that sets it cannot make an
// unnamed file, and one without it can (so both ways are really tried).
bool both_ways_available(const std::string& directory) {
  const auto child = [&](bool filtered) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (filtered && !refuse_unnamed_files()) ::_exit(2);
      const int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR, 0600);
      ::_exit(fd >= 0 ? 0 : errno == EOPNOTSUPP ? 1 : 3);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  return child(false) == 0 && child(true) == 1;
}

enum class Temporaries { UNNAMED, NAMED };
const char* describe(Temporaries t) { return t == Temporaries::UNNAMED ? "unnamed" : "named"; }

// tarnc started in the sandbox with every signal at its default and none
// blocked, no core files, standard output to run.out, standard error to
// run.err. `words` replaces the program's words (a shell command, say).
pid_t launch(const Sandbox& box, const std::vector<std::string>& args, Temporaries temporaries,
             std::vector<std::string> words = {}) {
  if (words.empty()) words = command_words(tarnc_path());
  return spawn(box, with_args(words, args), [&] {
    for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    return temporaries == Temporaries::UNNAMED || refuse_unnamed_files();
  });
}

int wait_for(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// The named temporaries anywhere in the sandbox (files: the attacker below
// leaves links of such names).
std::vector<std::string> named_temporaries(const Sandbox& box) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(box.dir(), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(".tarnc-") && !it->is_symlink()) found.push_back(it->path().string());
  }
  return found;
}

// Whether process `pid` holds a file without a name in the sandbox.
bool holds_unnamed_file(pid_t pid, const Sandbox& box) {
  std::error_code ec;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (auto it = fs::directory_iterator(fds, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code link_ec;
    const std::string target = fs::read_symlink(it->path(), link_ec).string();
    if (!link_ec && target.starts_with(box.dir().string() + "/") && target.ends_with(" (deleted)")) return true;
  }
  return false;
}

bool temporary_in_use(pid_t pid, const Sandbox& box, Temporaries temporaries) {
  return temporaries == Temporaries::NAMED ? !named_temporaries(box).empty() : holds_unnamed_file(pid, box);
}

// --- Signals.

// Every signal whose default action ends the process, sent while c writes
// its archive or x a file, ends it as it would have and leaves no temporary,
// the archive and the file that were there as they were. Unnamed
// temporaries go even with SIGKILL.
TEST(TemporariesE2E, EverySignalThatEndsARunLeavesNoTemporary) {
  SKIP_ON_WINDOWS("POSIX signals");
  Sandbox box;
  if (!both_ways_available(box.dir().string())) GTEST_SKIP() << "no unnamed files, or no system-call filter, here";
  box.write("big.txt", mixed_text(6000000, 77));
  ASSERT_EQ(box.tarnc({"c", "-mf", "big.trn", "big.txt"}).status, 0);
  const std::string archive = box.read("big.trn");
  fs::create_directories(box.dir() / "o");
  const std::vector<int> all = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1,       SIGUSR2, SIGALRM, SIGXCPU,
                                SIGXFSZ, SIGPIPE,   SIGPROF, SIGVTALRM, SIGRTMIN + 3, SIGABRT};
  const std::vector<std::vector<std::string>> runs = {{"c", "-me", "big.trn", "big.txt"}, {"x", "-oo", "big.trn", "*"}};
  for (const Temporaries temporaries : {Temporaries::NAMED, Temporaries::UNNAMED}) {
    const std::vector<int> signals = temporaries == Temporaries::NAMED ? all : std::vector<int>{SIGKILL, SIGINT};
    for (const int sig : signals) {
      for (const auto& args : runs) {
        SCOPED_TRACE(std::string(describe(temporaries)) + " " + args[0] + " " + std::to_string(sig));
        box.write("o/big.txt", "old contents");
        const pid_t pid = launch(box, args, temporaries);
        const bool caught = wait_until([&] { return temporary_in_use(pid, box, temporaries); }, 20);
        ::kill(pid, caught ? sig : SIGKILL);
        const int status = wait_for(pid);
        ASSERT_TRUE(caught) << box.read("run.out") << box.read("run.err");
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_EQ(named_temporaries(box), std::vector<std::string>{});
        EXPECT_TRUE(box.read("big.trn") == archive);
        EXPECT_EQ(box.read("o/big.txt"), "old contents");
      }
    }
  }
}

// A run piped into head ends with SIGPIPE when it next writes, and that
// removes its temporaries too.
TEST(TemporariesE2E, ARunPipedIntoHeadLeavesNoTemporary) {
  SKIP_ON_WINDOWS("POSIX signals");
  Sandbox box;
  if (!both_ways_available(box.dir().string())) GTEST_SKIP() << "no unnamed files, or no system-call filter, here";
  if (!box.sh("command -v bash >/dev/null")) GTEST_SKIP() << "no bash";
  box.write("in/a.txt", mixed_text(1500000, 3));
  box.write("in/b.txt", mixed_text(1500000, 4));
  box.write("old.trn", "precious");
  std::string pipeline;
  for (const auto& w : command_words(tarnc_path())) pipeline += quote(w) + " ";
  // Every entry started is written at once; head has gone by the second.
  pipeline += "c -me old.trn in/a.txt in/b.txt | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}";
  for (const Temporaries temporaries : {Temporaries::NAMED, Temporaries::UNNAMED}) {
    SCOPED_TRACE(describe(temporaries));
    const RunResult r = wait_run(box, launch(box, {"-c", pipeline}, temporaries, {"/bin/bash"}));
    EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
    EXPECT_EQ(named_temporaries(box), std::vector<std::string>{});
    EXPECT_EQ(box.read("old.trn"), "precious");
  }
}

// --- A co-tenant who may write into the output directory.

// Everything below `root` that is not below `skip`: names, kinds, modes,
// times and contents.
std::map<std::string, std::string> snapshot(const fs::path& root, const fs::path& skip) {
  std::map<std::string, std::string> seen;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path& p = it->path();
    if (p == skip) {
      it.disable_recursion_pending();
      continue;
    }
    const std::string name = p.filename().string();
    if (name == "run.out" || name == "run.err") continue;  // the runs' own output
    struct stat st {};
    ::lstat(p.c_str(), &st);
    std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtime) + " " +
                        std::to_string(st.st_size) + " " + std::to_string(st.st_uid);
    if (S_ISREG(st.st_mode)) {
      state += ' ';
      state += std::to_string(std::hash<std::string>{}(testing::read_file(p.string())));
    }
    seen[fs::relative(p, root).string()] = state;
  }
  return seen;
}

// The attacker, in a child process as the user nobody when the tests run
// as root: for as long as it lives it swaps o/sub (a directory) with o/swap
// (a link to the directory outside), and renames a link to the secret file
// outside over every temporary it sees in o and o/sub. Returns its pid.
pid_t start_attacker(const Sandbox& box) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(120);
  const std::string o = box.path("o");
  const std::string secret = box.path("outside/secret.txt");
  for (unsigned round = 0;; ++round) {
    ::syscall(SYS_renameat2, AT_FDCWD, (o + "/sub").c_str(), AT_FDCWD, (o + "/swap").c_str(), 2 /* RENAME_EXCHANGE */);
    if (round % 8 != 0) continue;
    for (const char* dir : {"", "/sub", "/swap"}) {
      std::error_code ec;
      for (auto it = fs::directory_iterator(o + dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(".tarnc-")) continue;
        const std::string bait = o + "/.bait" + std::to_string(round);
        if (::symlink(secret.c_str(), bait.c_str()) == 0 && ::rename(bait.c_str(), it->path().c_str()) != 0)
          ::unlink(bait.c_str());
      }
    }
  }
}

// The 2,000 files of sub, a large file at the top and in sub (whose
// temporaries live long enough to be seen), every one with mode 0777.
std::string attacked_archive() {
  std::vector<RawEntry> entries;
  const auto add = [&](const std::string& name, const std::string& content) {
    FileEntry e = file_entry(name, content);
    e.attributes = ATTR_ARCHIVE | (0100777u << 16);
    entries.push_back({e, content});
  };
  const std::string large = random_text(4 << 20, 5);
  add("top.bin", large);
  add("sub\\large.bin", large);
  for (int i = 0; i < 2000; ++i) add("sub\\f" + std::to_string(i), "file " + std::to_string(i));
  add("last.bin", large);
  return build_archive(entries, 0);
}

// However another user swaps a directory of the output tree with a link to
// elsewhere, or a link over a temporary, for the whole of an extraction,
// nothing outside -o is created or changed: no file, no mode, no time.
// What meets a link is left out with a note; the rest is written.
TEST(OutputTreeE2E, ACoTenantSwappingLinksAndDirectoriesChangesNothingOutside) {
  SKIP_ON_WINDOWS("POSIX links and users");
  Sandbox box;
  const bool both = both_ways_available(box.dir().string());
  ::chmod(box.dir().c_str(), 0755);
  box.write("outside/secret.txt", "secret");
  box.write("outside/keep/k.txt", "k");
  ASSERT_TRUE(box.sh("chmod 600 outside/secret.txt && chmod 755 outside outside/keep"));
  box.write("a.trn", attacked_archive());
  const auto before = snapshot(box.dir(), box.dir() / "o");
  int outside_changed = 0;
  int written = 0;  // files of sub, in sub wherever it is now
  int refused = 0;  // entries that met the link
  for (const Temporaries temporaries : {Temporaries::NAMED, Temporaries::UNNAMED}) {
    if (!both && temporaries == Temporaries::NAMED) continue;
    for (int round = 0; round < 4; ++round) {
      SCOPED_TRACE(std::string(describe(temporaries)) + " " + std::to_string(round));
      ASSERT_TRUE(box.sh("rm -rf o && mkdir -p o/sub && ln -s ../outside o/swap && chmod 777 o o/sub"));
      const pid_t attacker = start_attacker(box);
      const pid_t run = launch(box, {"x", "-oo", "a.trn", "*"}, temporaries);
      const RunResult r = wait_run(box, run);
      ::kill(attacker, SIGKILL);
      wait_for(attacker);
      EXPECT_EQ(r.status, 0) << r.out;
      const std::string& err = r.err;
      EXPECT_FALSE(contains(err, "FATAL")) << err.substr(0, 300);
      if (snapshot(box.dir(), box.dir() / "o") != before) ++outside_changed;
      for (const char* dir : {"o/sub", "o/swap"}) {
        if (fs::is_symlink(box.dir() / dir)) continue;
        for (const auto& e : fs::directory_iterator(box.dir() / dir)) written += e.path().filename().string()[0] == 'f';
      }
      for (size_t at = err.find("a link is on its path"); at != std::string::npos; at = err.find("a link is on", at + 1))
        ++refused;
      EXPECT_EQ(named_temporaries(box), std::vector<std::string>{});
      // The attacker's own links may stand where the large files were; the
      // rest of the run is unaffected.
      EXPECT_TRUE(fs::is_symlink(box.dir() / "o/last.bin") || box.read("o/last.bin").size() == (4u << 20));
    }
  }
  EXPECT_EQ(outside_changed, 0);
  EXPECT_EQ(snapshot(box.dir(), box.dir() / "o"), before);
  EXPECT_GT(written, 0);  // the attack did not simply stop the runs
  std::printf("[ info ] %d files of sub written, %d refused at a link\n", written, refused);
  ASSERT_TRUE(box.sh("rm -rf o"));
}

// --- Names that only just fit.

// A path just under the system's limit, whose temporary beside it is over
// it, is left out with a note before anything of it is made, and the next
// entry is still written.
TEST(OutputTreeE2E, APathWhoseTemporaryWouldNotFitIsSkippedAndTheRunGoesOn) {
  SKIP_ON_WINDOWS("POSIX path limit");
  Sandbox box;
  // "o/" + directories + "/f": the file fits and its temporary (23
  // characters where "f" is one) does not.
  const size_t directory_length = PATH_MAX - 16;
  std::string directories;
  while (directories.size() < directory_length) {
    if (!directories.empty()) directories += '\\';
    const size_t left = directory_length - directories.size();
    directories += std::string(left < 200 ? left : 200, 'd');
  }
  const std::string name = directories + "\\f";
  ASSERT_LT(2 + name.size(), static_cast<size_t>(PATH_MAX));
  box.write("long.trn", build_archive({{file_entry(name, "long"), "long"}, {file_entry("next.txt", "next"), "next"}}, 0));
  const RunResult r = box.tarnc({"x", "-oo", "long.trn", "*"});
  EXPECT_RUN(r, 0, "\nDecompressed 2 file(s) in ");
  EXPECT_TRUE(contains(r.err, "its name is too long")) << r.err.substr(0, 300);
  EXPECT_EQ(box.read("o/next.txt"), "next");
  EXPECT_FALSE(box.exists("o/" + std::string(200, 'd')));
  EXPECT_EQ(named_temporaries(box), std::vector<std::string>{});
  ASSERT_TRUE(box.sh("rm -rf o"));
}

// --- Runs beside one another, and requests that would never end.

// A list file that is already being read -- one that includes itself, or a
// cycle of them named another way the second time -- and list files nested
// deeper than 16 end the run through its fatal path with the file named;
// nothing of the archive is left and the one that was there stays. Nesting
// of 16, and one list file included twice one after the other, are fine.
TEST(TemporariesE2E, ListFilesThatNeverEndAreRefusedAndLeaveNothing) {
  SKIP_ON_WINDOWS("system-call filter");
  Sandbox box;
  if (!both_ways_available(box.dir().string())) GTEST_SKIP() << "no unnamed files, or no system-call filter, here";
  box.write("in/a.txt", mixed_text(400000, 5));
  box.write("in/b.txt", mixed_text(3000, 6));
  box.write("self.lst", "in/a.txt\n@self.lst\n");
  box.write("lists/a.lst", "in/a.txt\r\n@lists/b.lst\r\n");
  box.write("lists/b.lst", "@./lists//a.lst\n");
  for (int depth = 1; depth <= 17; ++depth)
    box.write("deep/" + std::to_string(depth) + ".lst",
              depth == 17 ? "in/b.txt\n" : "@deep/" + std::to_string(depth + 1) + ".lst\n");
  box.write("deep16.lst", "@deep/3.lst\n");  // 16 levels in all, 17 from deep/1.lst
  box.write("twice.lst", "@deep/17.lst\n@deep/17.lst\nin/a.txt\n");
  box.write("old.trn", "precious");
  struct Case {
    std::vector<std::string> args;
    const char* note;  // on standard error; "" for a run that succeeds
  };
  const Case cases[] = {
      {{"c", "-mf", "old", "in/b.txt", "@self.lst"}, "tarnc: self.lst: a list file that is already being read"},
      {{"c", "-mf", "old", "@lists/a.lst"}, "tarnc: ./lists//a.lst: a list file that is already being read"},
      {{"c", "-mf", "old", "@deep/1.lst"}, "tarnc: deep/17.lst: list files nested more than 16 deep"},
      {{"t", "good", "@self.lst"}, "tarnc: self.lst: a list file that is already being read"},
      {{"c", "-mf", "good", "@deep16.lst"}, ""},
      {{"c", "-mf", "good", "@twice.lst"}, ""},
  };
  for (const Temporaries temporaries : {Temporaries::NAMED, Temporaries::UNNAMED}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(describe(temporaries)) + " " + c.args[0] + " " + c.args.back());
      if (c.args[0] == "t") {
        ASSERT_EQ(box.tarnc({"c", "-mf", "good", "in/b.txt"}).status, 0);
      }
      const RunResult r = wait_run(box, launch(box, c.args, temporaries));
      if (*c.note == '\0') {
        EXPECT_EQ(r.status, 0) << r.out << r.err;
      } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.ends_with("\nFATAL: Incorrect request!\n\n")) << r.out;
        EXPECT_TRUE(contains(r.err, c.note)) << r.err;
      }
      EXPECT_EQ(named_temporaries(box), std::vector<std::string>{});
      EXPECT_EQ(box.read("old.trn"), "precious");
    }
    // Each list file was read to its end: in\b.txt once, then a.txt.
    const RunResult list = box.tarnc({"l", "good"});
    EXPECT_TRUE(contains(list.out, "\n2 file(s)\n")) << list.out;
    ASSERT_TRUE(box.sh("rm good.trn"));
  }
}

// Files named as tarnc names its temporaries are what another run in the
// same directory is writing: they are never selected, neither while such a
// run goes on nor when one is left behind. Only that exact form is passed
// over; names that merely look like it are packed.
TEST(TemporariesE2E, AnotherRunsTemporaryIsNeverSelected) {
  SKIP_ON_WINDOWS("system-call filter");
  Sandbox box;
  const std::vector<std::string> ours = {".tarnc-0123456789ab.tmp", "sub/.tarnc-fedcba987654.tmp"};
  const std::vector<std::string> lookalikes = {".tarnc-0123456789AB.tmp", ".tarnc-0123456789a.tmp",
                                               ".tarnc-0123456789abc.tmp", ".tarnc-0123456789ag.tmp",
                                               ".tarnc-0123456789ab.tmp.bak", "x.tarnc-0123456789ab.tmp",
                                               ".tarnc-0123456789ab.tm"};
  for (const auto& name : ours) box.write(name, "half written");
  for (const auto& name : lookalikes) box.write(name, "mine");
  box.write("sub/kept.txt", "kept");
  ASSERT_EQ(box.tarnc({"c", "-r", "all", "*"}).status, 0);
  const RunResult list = box.tarnc({"l", "all"});
  EXPECT_TRUE(contains(list.out, "\n" + std::to_string(lookalikes.size() + 1) + " file(s)\n")) << list.out;
  EXPECT_TRUE(contains(list.out, "sub\\kept.txt")) << list.out;
  ASSERT_TRUE(box.sh("mkdir x"));
  ASSERT_EQ(box.tarnc({"x", "-ox", "all.trn", "*"}).status, 0);
  for (const auto& name : ours) EXPECT_FALSE(box.exists("x/" + name)) << name;
  for (const auto& name : lookalikes) EXPECT_EQ(box.read("x/" + name), "mine") << name;
  ASSERT_TRUE(box.sh("rm -rf .tarnc-* x.tarnc-* sub x all.trn"));

  // A real run writing its archive in w/ while another packs w/*.
  if (!both_ways_available(box.dir().string())) GTEST_SKIP() << "no system-call filter here";
  box.write("w/big.txt", mixed_text(6000000, 78));
  const pid_t pid = launch(box, {"c", "-me", "w/big", "w/big.txt"}, Temporaries::NAMED);
  const bool caught = wait_until([&] { return !named_temporaries(box).empty(); }, 20);
  const RunResult snap = box.tarnc({"c", "-m0", "snap", "w/*"});
  ::kill(pid, caught ? SIGTERM : SIGKILL);
  wait_for(pid);
  ASSERT_TRUE(caught) << box.read("run.out") << box.read("run.err");
  EXPECT_EQ(snap.status, 0) << snap.out;
  const RunResult snapped = box.tarnc({"l", "snap"});
  EXPECT_TRUE(contains(snapped.out, "\n1 file(s)\n") && !contains(snapped.out, ".tarnc-")) << snapped.out;
}

}  // namespace
}  // namespace tarn::e2e
