// Running the built tarnc the way a user does: in a fresh temporary
// directory per test, capturing standard output and the exit status.
//
// The program under test is the tarnc of this build, or another build named
// at run time: TARN_E2E_TARNC (e.g. tarnc.exe), started through
// TARN_E2E_RUNNER when set (e.g. wine64), with TARN_E2E_SFX as its stub. A
// Windows build ends its lines with "\r\n": its output is compared with "\n"
// line ends. Tests of POSIX-only behaviour skip a Windows build.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../unit/test_dir.h"
#include "common/crc32.h"
#include "archive/format.h"
#include "common/byte_order.h"
#include "files/file_list.h"

namespace tarn::e2e {

struct RunResult {
  std::string out;
  std::string err;  // standard error
  int status = -1;  // exit status (-1 when a signal ended it)
};

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A run that ended with `code` and printed `part`; one that ended with
// "FATAL: <message>" and status 1.
#define EXPECT_RUN(run, code, part)                                        \
  do {                                                                     \
    const ::tarn::e2e::RunResult run_ = (run);                             \
    EXPECT_EQ(run_.status, code) << run_.out;                              \
    EXPECT_TRUE(::tarn::e2e::contains(run_.out, (part))) << run_.out;      \
  } while (0)
#define EXPECT_FATAL(run, message) EXPECT_RUN(run, 1, "\nFATAL: " + std::string(message) + "\n\n")

using testdata::mixed_text;
using testdata::random_text;

inline std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}
inline std::string tarnc_path() { return env_or("TARN_E2E_TARNC", TARNC_PATH); }
inline bool on_windows() { return tarnc_path().ends_with(".exe"); }
#define SKIP_ON_WINDOWS(why) \
  if (::tarn::e2e::on_windows()) GTEST_SKIP() << "POSIX only: " << (why)

// The words that start `program` of the build under test: the runner first, if any.
inline std::vector<std::string> command_words(const std::string& program) {
  const std::string runner = env_or("TARN_E2E_RUNNER", "");
  if (runner.empty()) return {program};
  return {runner, program};
}
// Output of the build under test with "\n" line ends.
inline std::string unix_lines(const std::string& text) {
  if (!on_windows()) return text;
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') lines += text[i];
  return lines;
}

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Elapsed seconds vary from run to run; everything else must not. Every
// "<digits>.<5 digits> seconds." becomes "#.##### seconds.".
inline std::string mask_seconds(const std::string& text) {
  static const std::string tail = " seconds.";
  auto digit = [&text](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
  std::string out;
  size_t done = 0;
  for (size_t at = text.find(tail); at != std::string::npos; at = text.find(tail, at + 1)) {
    if (at < done + 7) continue;
    bool ok = text[at - 6] == '.' && digit(at - 7);
    for (size_t i = at - 5; i < at; ++i) ok = ok && digit(i);
    if (!ok) continue;
    size_t start = at - 7;
    while (start > done && digit(start - 1)) --start;
    out.append(text, done, start - done);
    out += "#.##### seconds.";
    done = at + tail.size();
  }
  return out + text.substr(done);
}

class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/tarn-e2e-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    err_file_ = dir_.string() + ".stderr";
  }
  ~Sandbox() {
    std::error_code ec;
    for (auto& p : std::filesystem::recursive_directory_iterator(dir_, ec))
      std::filesystem::permissions(p.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
    std::filesystem::remove(err_file_, ec);
  }
  const std::filesystem::path& dir() const { return dir_; }
  std::string path(const std::string& rel) const { return (dir_ / rel).string(); }

  // Runs a program of the build under test or, when `native`, one of this
  // build, with arguments, inside the sandbox; `shell` runs first in the
  // same shell (e.g. "ulimit -f 0;").
  RunResult run_program(const std::string& program, const std::vector<std::string>& args, bool native = false,
                        const std::string& shell = "") const {
    std::string cmd = native ? quote(program) : "WINEDEBUG=-all";
    if (!native) for (const auto& w : command_words(program)) cmd += ' ' + quote(w);
    for (const auto& a : args) cmd += ' ' + quote(a);
    cmd = in_dir(shell + cmd) + " 2>" + quote(err_file_);
    RunResult r;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    const int raw = ::pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = testing::read_file(err_file_);
    if (!native) {
      r.out = unix_lines(r.out);
      r.err = unix_lines(r.err);
    }
    return r;
  }
  RunResult tarnc(const std::vector<std::string>& args) const { return run_program(tarnc_path(), args); }
  // tarnc after a shell prelude, e.g. "ulimit -f 0;".
  RunResult tarnc_after(const std::string& shell, const std::vector<std::string>& args) const {
    return run_program(tarnc_path(), args, false, shell);
  }
  // Runs a shell command inside the sandbox; true when it succeeded.
  bool sh(const std::string& command) const { return std::system(in_dir(command).c_str()) == 0; }
  std::string in_dir(const std::string& command) const { return "cd " + quote(dir_.string()) + " && " + command; }

  void write(const std::string& rel, const std::string& content) const {
    const auto p = dir_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string read(const std::string& rel) const { return testing::read_file(path(rel)); }
  bool exists(const std::string& rel) const { return std::filesystem::exists(std::filesystem::symlink_status(dir_ / rel)); }
  // Gives files the fixed time 2003-11-01 12:00:00 UTC and mode 0644.
  void fix_time(const std::string& rel) const {
    sh("touch -d '2003-11-01 12:00:00 UTC' " + quote(rel) + " && chmod 644 " + quote(rel));
  }

 private:
  std::filesystem::path dir_;
  std::string err_file_;
};

// `words` followed by `args`.
inline std::vector<std::string> with_args(std::vector<std::string> words, const std::vector<std::string>& args) {
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// A program started directly (no shell) in the sandbox, `words` its command
// words. In the child `prepare` runs first (false ends it with status 120);
// then standard output goes to run.out, standard error to run.err.
template <typename Prepare>
pid_t spawn(const Sandbox& box, std::vector<std::string> words, Prepare prepare) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(box.dir().c_str()) != 0 || !prepare()) ::_exit(120);
    if (std::freopen("run.out", "w", stdout) == nullptr || std::freopen("run.err", "w", stderr) == nullptr)
      ::_exit(121);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for a spawned program (its resource use in `usage`, if given): its
// exit status, run.out and run.err.
inline RunResult wait_run(const Sandbox& box, pid_t pid, rusage* usage = nullptr) {
  int raw = 0;
  ::wait4(pid, &raw, 0, usage);
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = unix_lines(box.read("run.out"));
  r.err = unix_lines(box.read("run.err"));
  return r;
}

// A program started with the terminating signals at their default, as one
// started from a terminal has them, also when the tests run as a background
// job (which would have it ignore SIGINT).
inline pid_t start_program(const Sandbox& box, const std::vector<std::string>& words) {
  return spawn(box, words, [] {
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(s, SIG_DFL);
    return ::setenv("WINEDEBUG", "-all", 1) == 0;
  });
}
inline pid_t start_tarnc(const Sandbox& box, const std::vector<std::string>& args) {
  return start_program(box, with_args(command_words(tarnc_path()), args));
}

// Waits until `ready` holds (polled), at most `seconds`.
template <typename Ready>
bool wait_until(Ready ready, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// The command words that run a copy of tarnc kept in the sandbox as
// bin/tarnc. Runs that change user or mount a /tmp of their own need it: the
// build may lie where they cannot reach it (a clone in a private temporary
// directory, say).
inline std::vector<std::string> sandboxed_tarnc(const Sandbox& box) {
  if (!box.exists("bin/tarnc")) {
    std::filesystem::create_directories(box.dir() / "bin");
    std::filesystem::copy_file(tarnc_path(), box.dir() / "bin/tarnc");
    std::filesystem::permissions(box.dir() / "bin", std::filesystem::perms(0755));
    std::filesystem::permissions(box.dir() / "bin/tarnc", std::filesystem::perms(0755));
  }
  std::vector<std::string> words = command_words(tarnc_path());
  words.back() = (box.dir() / "bin/tarnc").string();
  return words;
}

// tarnc as the user nobody when the tests run as root (root opens and
// writes every file), otherwise as it is, in the sandbox opened to all;
// with `one_process` nobody may have no process but this one, so that no
// thread can start.
inline RunResult tarnc_unprivileged(const Sandbox& box, const std::vector<std::string>& args, bool one_process = false) {
  const bool root = ::geteuid() == 0;
  if (root) ::chmod(box.dir().c_str(), 0777);
  const auto words = with_args(root ? sandboxed_tarnc(box) : command_words(tarnc_path()), args);
  return wait_run(box, spawn(box, words, [&] {
                    const rlimit one{1, 1};
                    return (!root || (::setgid(65534) == 0 && ::setuid(65534) == 0)) &&
                           (!one_process || ::setrlimit(RLIMIT_NPROC, &one) == 0) &&
                           ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1) == 0;  // the leak check needs a thread
                  }));
}

// Runs `work` in a child process to its end: a process's peak memory counts
// what its parent held when it was started, so this process stays small.
template <typename Work>
void in_child(Work work) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    work();
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
}

// Peak memory is the program's own only in a native build without sanitizers.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNLESS_PEAK_MEMORY_IS_THE_PROGRAMS() GTEST_SKIP() << "the sanitizers' own memory hides the program's"
#else
#define SKIP_UNLESS_PEAK_MEMORY_IS_THE_PROGRAMS() SKIP_ON_WINDOWS("peak memory of a native process")
#endif

// A run of tarnc to its end, with its peak memory and time.
struct Measured : RunResult {
  long max_rss_kb = 0;
  double seconds = 0;
};

inline Measured run_measured(const Sandbox& box, const std::vector<std::string>& args) {
  const auto start = std::chrono::steady_clock::now();
  rusage usage{};
  Measured m;
  static_cast<RunResult&>(m) = wait_run(box, start_tarnc(box, args), &usage);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.max_rss_kb = usage.ru_maxrss;
  return m;
}

inline std::string banner() { return "\n *** Tarn high compression archiver. Version 0.75 pre-beta 1\n\n"; }

// Archives assembled byte by byte, for damaged and hostile inputs.
struct RawEntry {
  FileEntry entry;
  std::string data;  // piece bytes written at the entry's offset (if not empty)
};

inline std::string build_archive(std::vector<RawEntry> entries, uint8_t method, const std::string& stub = "") {
  std::string bytes = stub + std::string(HEADER_SIZE, '\0');
  uint64_t total = 0;
  // Heads get the position of their piece; members keep their group position.
  for (auto& e : entries) {
    total += e.entry.size;
    if ((e.entry.flags & FLAG_SOLID_CONTINUATION) == 0 && !e.entry.is_directory()) {
      e.entry.offset = static_cast<uint32_t>(bytes.size());
      bytes += e.data;
    }
  }
  const size_t data_end = bytes.size();
  std::string table;
  for (const auto& e : entries) table += encode_record(e.entry);
  uint8_t crc_bytes[4];
  store_le32(crc_bytes, crc32_of(reinterpret_cast<const uint8_t*>(table.data()), table.size()));
  bytes.append(reinterpret_cast<const char*>(crc_bytes), 4);
  bytes += table;
  ArchiveHeader h;
  h.total_size = static_cast<uint32_t>(total);
  h.entry_count = static_cast<uint32_t>(entries.size());
  h.data_length = static_cast<uint32_t>(data_end - stub.size() - HEADER_SIZE);
  h.method = method;
  const auto hb = encode_header(h);
  bytes.replace(stub.size(), HEADER_SIZE, reinterpret_cast<const char*>(hb.data()), HEADER_SIZE);
  return bytes;
}

inline FileEntry file_entry(const std::string& name, const std::string& content, uint8_t flags = FLAG_STORED) {
  FileEntry e;
  e.name = name;
  e.size = static_cast<uint32_t>(content.size());
  e.dos_date = 0x2F61;
  e.dos_time = 0x6000;
  e.crc = crc32_of(reinterpret_cast<const uint8_t*>(content.data()), content.size());
  e.attributes = ATTR_ARCHIVE;
  e.packed_size = e.size;
  e.flags = flags;
  return e;
}

}  // namespace tarn::e2e
