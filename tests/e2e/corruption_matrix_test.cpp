// Damaged and hostile archives: every byte flipped, every truncation, and
// headers that claim far more than the file holds. Reading them must end in
// one of the format's messages or a CRC report — never a crash, a hang, a
// huge allocation or a file outside the output directory.
//
// The matrix runs the test driver in-process (fast); extraction into a
// directory and the real program are run for a sample of the variants.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/wildcard_list.h"
#include "coder/long_repeat.h"
#include "e2e_support.h"
#include "pipeline/block_header.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using e2e::Sandbox;

using testdata::Lcg;

// Deterministic inputs for the archives of the matrix.
std::string text(size_t n, uint32_t seed) {
  static const char* const WORDS[] = {"the ", "archive ", "of ", "and ", "Model ", "coder ", "\r\n", "1998 "};
  Lcg rng(seed);
  std::string s;
  while (s.size() < n) s += WORDS[rng.next() % 8];
  s.resize(n);
  return s;
}

// Calls to near targets, and mov eax, [ebp + d]; push ebp; nop.
std::string code(size_t n, uint32_t seed) {
  Lcg rng(seed);
  std::string s;
  while (s.size() < n) {
    const bool call = rng.next() % 2 == 0;
    const uint32_t v = call ? rng.next() % 2048 - 1024 : 0x90550045u | (rng.next() % 64) << 8;
    s += call ? '\xE8' : '\x8B';
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
  }
  s.resize(n);
  return s;
}

// A random walk over `stride` interleaved channels: a multimedia block.
std::string walk(size_t n, uint32_t stride, uint32_t seed) {
  Lcg rng(seed);
  std::string s;
  int level = 0;
  for (size_t i = 0; i < n; ++i) {
    level += static_cast<int>(rng.next() % 7) - 3;
    s += static_cast<char>(level + 60 * static_cast<int>(i % stride));
  }
  return s;
}

// Sends standard output to /dev/null while it lives: the drivers print a
// progress line per entry.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

// Runs t (or x into `output_dir`) on the archive in-process. Returns "" when
// the run ended normally or with a TarnError, else what went wrong.
std::string run_driver(const std::string& archive_path, const std::string& output_dir = "") {
  try {
    ArchiveReader archive;
    archive.open_archive_for_reading(archive_path);
    FileList entries;
    archive.read_file_table(entries);
    WildcardList wildcards;
    wildcards.add_extract_wildcard("*");
    ExtractOptions options;
    options.write_files = !output_dir.empty();
    if (!output_dir.empty()) options.output_dir = output_dir;
    extract_archive(archive, entries, wildcards, options);
  } catch (const TarnError&) {
  } catch (const std::bad_alloc&) {
    return "allocation failed";
  } catch (const std::exception& e) {
    return std::string("exception: ") + e.what();
  }
  return "";
}

// Every name under `dir`, relative to it.
std::set<std::string> tree(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto& p : fs::recursive_directory_iterator(dir, ec)) names.insert(fs::relative(p.path(), dir).string());
  return names;
}

bool ends_with_a_format_message(const std::string& out) {
  if (out.find("Several CRC errors detected.") != std::string::npos) return true;
  for (unsigned c = 0; c <= static_cast<unsigned>(ErrorCode::HEADER_DAMAGE); ++c) {
    const std::string fatal = std::string("\nFATAL: ") + error_message(static_cast<ErrorCode>(c)) + "\n\n";
    if (out.size() >= fatal.size() && out.compare(out.size() - fatal.size(), fatal.size(), fatal) == 0) return true;
  }
  return out.find(" seconds.\n") != std::string::npos;  // a normal end
}

struct MatrixCase {
  const char* name;
  std::vector<std::string> switches;
  std::vector<std::pair<std::string, std::string>> files;
};

std::vector<MatrixCase> matrix_cases() {
  return {
      {"single_quickest_text", {"-mq"}, {{"a.txt", text(700, 1)}}},
      {"single_extreme_mixed", {"-me"}, {{"a.txt", text(500, 2) + code(400, 3)}}},
      {"solid_normal", {"-mn", "-b"}, {{"a.txt", text(300, 4)}, {"b.txt", text(200, 5)}, {"c.bin", code(300, 6)}}},
      {"stored", {"-m0"}, {{"a.txt", text(150, 7)}, {"b.txt", ""}, {"c.bin", code(100, 8)}}},
      {"exe_block_fast", {"-mf"}, {{"a.exe", code(900, 9)}}},
      {"multimedia_blocks_good", {"-mg"}, {{"stereo.raw", walk(800, 2, 10)}, {"mono.raw", walk(800, 1, 11)}}},
      {"directories_superb", {"-ms", "-r", "-d"}, {{"d/a.txt", text(200, 12)}, {"d/e/b.txt", text(100, 13)}}},
  };
}

class CorruptionMatrix : public ::testing::TestWithParam<size_t> {};

TEST_P(CorruptionMatrix, EveryFlipAndTruncationEndsWithAMessage) {
  const MatrixCase c = matrix_cases()[GetParam()];
  Sandbox box;
  std::vector<std::string> args{"c"};
  args.insert(args.end(), c.switches.begin(), c.switches.end());
  args.push_back("a.trn");
  for (const auto& [name, content] : c.files) {
    box.write("src/" + name, content);
    args.push_back("src/*");
  }
  if (c.switches.back() == "-d") args.back() = "src/";
  ASSERT_EQ(box.tarnc(args).status, 0);
  const std::string original = box.read("a.trn");
  ASSERT_GT(original.size(), 50u);
  ASSERT_LT(original.size(), 4000u) << "keep the matrix small";

  // Variants: each byte xor 0xFF, every third byte also xor 0x01 and 0x80,
  // and every truncation.
  std::vector<std::string> variants;
  for (size_t i = 0; i < original.size(); ++i) {
    for (uint8_t x : {0xFF, 0x01, 0x80}) {
      if (x != 0xFF && i % 3 != 0) continue;
      std::string v = original;
      v[i] = static_cast<char>(v[i] ^ x);
      variants.push_back(std::move(v));
    }
  }
  for (size_t n = 0; n < original.size(); ++n) variants.push_back(original.substr(0, n));

  fs::create_directories(box.dir() / "w");
  const std::string archive = box.path("w/v.trn");
  const std::string out = box.path("w/out");
  box.write("w/v.trn", original);
  const std::set<std::string> before = tree(box.dir());
  for (size_t k = 0; k < variants.size(); ++k) {
    box.write("w/v.trn", variants[k]);
    const auto start = std::chrono::steady_clock::now();
    std::string failure;
    {
      QuietStdout quiet;
      failure = run_driver(archive);
      // Extraction for every 16th variant: nothing may land outside out/.
      if (failure.empty() && k % 16 == 0) {
        failure = run_driver(archive, out);
        fs::remove_all(out);
        if (failure.empty() && tree(box.dir()) != before) failure = "wrote outside out/";
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(failure, "") << c.name << " variant " << k;
    ASSERT_LT(seconds, 10.0) << c.name << " variant " << k;

    // The real program on a sample: status 0 or 1 and a closing message.
    if (k % 151 == 0) {
      const e2e::RunResult r = box.tarnc({"t", "w/v.trn", "*"});
      EXPECT_TRUE(r.status == 0 || r.status == 1) << c.name << " variant " << k << " status " << r.status;
      EXPECT_TRUE(ends_with_a_format_message(r.out)) << c.name << " variant " << k << ":\n" << r.out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Archives, CorruptionMatrix, ::testing::Range<size_t>(0, matrix_cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(matrix_cases()[info.param].name);
                         });

// --- Claims larger than the file: the real program, its peak memory and time.

struct Measured {
  int status = -1;
  long max_rss_kb = 0;
  double seconds = 0;
  std::string out;
};

Measured run_measured(const Sandbox& box, const std::vector<std::string>& args) {
  Measured m;
  const std::string out_path = box.path("stdout.txt");
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(box.dir().c_str()) != 0) ::_exit(127);
    const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    std::vector<char*> argv{const_cast<char*>(TARNC_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TARNC_PATH, argv.data());
    ::_exit(127);
  }
  int raw = 0;
  rusage usage{};
  ::wait4(pid, &raw, 0, &usage);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  m.max_rss_kb = usage.ru_maxrss;
  m.out = box.read("stdout.txt");
  return m;
}

// Far below "gigabytes", above what a sanitizer build needs for a 16 MiB chunk.
constexpr long MEMORY_BOUND_KB = 400 * 1024;

// Ended with status 0 or 1 and one of the format's messages, small and fast.
void expect_contained(const Measured& m, double seconds = 10.0) {
  EXPECT_TRUE(m.status == 0 || m.status == 1) << m.out;
  EXPECT_TRUE(ends_with_a_format_message(m.out)) << m.out;
  EXPECT_LT(m.max_rss_kb, MEMORY_BOUND_KB);
  EXPECT_LT(m.seconds, seconds);
}

TEST(HostileClaims, TableOfFourBillionEntriesEndsAtTheFileEnd) {
  Sandbox box;
  std::string a = e2e::build_archive({{e2e::file_entry("a.txt", "abc"), "abc"}}, 0);
  a.replace(9, 4, "\xFF\xFF\xFF\xFF");  // the entry count
  box.write("a.trn", a);
  for (const char* command : {"l", "t"}) {
    const Measured m = run_measured(box, {command, "a.trn", "*"});
    EXPECT_EQ(m.status, 1) << m.out;
    expect_contained(m);
  }
}

TEST(HostileClaims, NameOrStoredGroupPastTheFileEndIsAnIoErrorBeforeAllocating) {
  Sandbox box;
  std::string a = e2e::build_archive({{e2e::file_entry("a.txt", "abc"), "abc"}}, 0);
  a[a.size() - 5 - 2] = '\xFF';  // name length field of the only record: 0xFF05
  a[a.size() - 5 - 1] = '\xFF';
  box.write("name.trn", a);
  FileEntry head = e2e::file_entry("a.txt", "abc");
  head.packed_size = 0xFFFFFF00u;
  FileEntry member = e2e::file_entry("b.txt", "de", FLAG_STORED | FLAG_SOLID_CONTINUATION);
  member.offset = 3;
  box.write("group.trn", e2e::build_archive({{head, "abcde"}, {member, ""}}, 3));
  for (const char* archive : {"name.trn", "group.trn"}) {
    const Measured m = run_measured(box, {"t", archive, "*"});
    EXPECT_EQ(m.status, 1);
    EXPECT_TRUE(e2e::contains(m.out, "\nFATAL: I/O error\n\n")) << m.out;
    EXPECT_LT(m.max_rss_kb, MEMORY_BOUND_KB);
  }
}

// A chunk stream of a few bytes whose prepass header claims the largest
// plain length (16 MiB) and whose first block claims the largest coded
// length.
std::string tiny_stream_claiming_16_mib() {
  const auto stream = testdata::encode_stream([](RangeEncoder& coder) {
    LongRepeat::encode_u24(coder, 0xFFFFFF);
    coder.encode_bits(0, 1);
    write_block_header(coder, 0x00, 0x7FFFF);
  });
  return {stream.begin(), stream.end()};
}

TEST(HostileClaims, ChunkClaimingSixteenMebibytesFromTenBytesStaysSmall) {
  const std::string stream = tiny_stream_claiming_16_mib();
  ASSERT_LE(stream.size(), 12u);
  for (uint8_t method : {1, 6}) {
    Sandbox box;
    FileEntry e = e2e::file_entry("a.txt", std::string(100, 'x'), 0);
    e.size = 0xFFFFFFFFu;  // and the entry claims 4 GiB
    e.packed_size = static_cast<uint32_t>(stream.size());
    box.write("a.trn", e2e::build_archive({{e, stream}}, method));
    SCOPED_TRACE(int{method});
    expect_contained(run_measured(box, {"t", "a.trn", "*"}), 20.0);
  }
}

TEST(HostileClaims, EntryClaimingFourGibibytesOfOneByteChunksStopsAtTheFileEnd) {
  // Chunk after chunk of one byte each: every chunk uses up input, so the
  // decoder reaches the end of the file long before 4 GiB.
  const auto chunk = testdata::encode_stream([](RangeEncoder& coder) {
    LongRepeat::encode_u24(coder, 1);
    coder.encode_bits(0, 1);
    write_block_header(coder, 0x60, 1);
    coder.encode_shift('z', 'z' + 1, 8);
    coder.normalize();
  });
  std::string stream;
  for (int k = 0; k < 200; ++k) stream.append(chunk.begin(), chunk.end());
  Sandbox box;
  FileEntry e = e2e::file_entry("a.txt", "z", 0);
  e.size = 0xFFFFFFFFu;
  box.write("a.trn", e2e::build_archive({{e, stream}}, 2));
  expect_contained(run_measured(box, {"t", "a.trn", "*"}));
}

}  // namespace
}  // namespace tarn
