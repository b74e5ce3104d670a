// Damaged and hostile archives: every byte flipped, every truncation, and
// headers that claim far more than the file holds. Reading them must end in
// one of the format's messages or a CRC report — never a crash, a hang, a
// huge allocation or a file outside the output directory.
//
// The matrix runs the test driver in-process (fast); extraction into a
// directory and the real program are run for a sample of the variants.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <set>

#include "archive/extract.h"
#include "files/wildcard_list.h"
#include "coder/long_repeat.h"
#include "e2e_support.h"
#include "pipeline/block_header.h"
#include "pipeline/block_types.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using e2e::Sandbox;

// Inputs for the archives of the matrix: slices of the corpus text, IA-32
// code, 16-bit stereo samples and 24-bit pixels.
std::string slice(const char* name, size_t offset, size_t n) {
  const auto bytes = testdata::data_bytes(name);
  return std::string(bytes.begin(), bytes.end()).substr(offset, n);
}
std::string text(size_t offset, size_t n) { return slice("canterbury/alice29.txt", offset, n); }
std::string code(size_t offset, size_t n) { return slice("golden/inputs/x86code", offset, n); }

// Runs t (or x into `output_dir`) on the archive in-process, reporting to
// `events`. Returns "" when the run ended normally, "FATAL <message>" when
// it ended with one of the format's errors, else what went wrong.
std::string run_driver(const std::string& archive_path, DriverEvents& events, const std::string& output_dir = "") {
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
    extract_archive(archive, entries, wildcards, options, events);
  } catch (const TarnError& e) {
    return std::string("FATAL ") + e.what();
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
  if (e2e::contains(out, "Several CRC errors detected.")) return true;
  for (unsigned c = 0; c <= static_cast<unsigned>(ErrorCode::HEADER_DAMAGE); ++c) {
    const std::string fatal = std::string("\nFATAL: ") + error_message(static_cast<ErrorCode>(c)) + "\n\n";
    if (out.ends_with(fatal)) return true;
  }
  return e2e::contains(out, " seconds.\n");  // a normal end
}

using Files = std::vector<std::pair<std::string, std::string>>;

// The inputs are read only when a case runs, never while tests are listed.
struct MatrixCase {
  const char* name;
  std::vector<std::string> switches;  // and the archive, then the inputs (under src/)
  Files (*files)();
};

std::vector<MatrixCase> matrix_cases() {
  return {
      {"single_quickest_text", {"-mq", "a.trn", "src/*"}, [] { return Files{{"a.txt", text(1000, 700)}}; }},
      {"single_extreme_mixed", {"-me", "a.trn", "src/*"},
       [] { return Files{{"a.txt", text(5000, 500) + code(9000, 400)}}; }},
      {"solid_normal", {"-mn", "-b", "a.trn", "src/*"},
       [] { return Files{{"a.txt", text(2000, 300)}, {"b.txt", text(3000, 200)}, {"c.bin", code(4000, 300)}}; }},
      {"stored", {"-m0", "a.trn", "src/*"},
       [] { return Files{{"a.txt", text(4000, 150)}, {"b.txt", ""}, {"c.bin", code(100, 100)}}; }},
      {"exe_block_fast", {"-mf", "a.trn", "src/*"}, [] { return Files{{"a.exe", code(20000, 900)}}; }},
      {"multimedia_blocks_good", {"-mg", "a.trn", "src/*"},
       [] {
         return Files{{"stereo.raw", slice("golden/inputs/stereo16", 20000, 800)},
                      {"pixels.raw", slice("golden/inputs/pixels24", 20000, 800)}};
       }},
      {"directories_superb", {"-ms", "-r", "-d", "a.trn", "src/"},
       [] { return Files{{"d/a.txt", text(6000, 200)}, {"d/e/b.txt", text(7000, 100)}}; }},
  };
}

class CorruptionMatrix : public ::testing::TestWithParam<size_t> {};

TEST_P(CorruptionMatrix, EveryFlipAndTruncationEndsWithAMessage) {
  const MatrixCase c = matrix_cases()[GetParam()];
  Sandbox box;
  for (const auto& [name, content] : c.files()) box.write("src/" + name, content);
  ASSERT_EQ(box.tarnc(e2e::with_args({"c"}, c.switches)).status, 0);
  const std::string original = box.read("a.trn");
  ASSERT_GT(original.size(), 50u);
  ASSERT_LT(original.size(), 4000u) << "keep the matrix small";

  // Variants: each byte xor 0xFF, every third byte also xor 0x01 and 0x80,
  // and every truncation.
  std::vector<std::string> variants;
  for (size_t i = 0; i < original.size(); ++i) {
    for (uint8_t x : {0xFF, 0x01, 0x80}) {
      if (x != 0xFF && i % 3 != 0) continue;
      variants.push_back(original);
      variants.back()[i] = static_cast<char>(original[i] ^ x);
    }
  }
  for (size_t n = 0; n < original.size(); ++n) variants.push_back(original.substr(0, n));

  const std::string archive = box.path("w/v.trn"), out = box.path("w/out");
  box.write("w/v.trn", original);
  const std::set<std::string> before = tree(box.dir());
  for (size_t k = 0; k < variants.size(); ++k) {
    box.write("w/v.trn", variants[k]);
    const auto start = std::chrono::steady_clock::now();
    // Any of the format's messages is an acceptable end here.
    DriverEvents silent;
    std::string failure = run_driver(archive, silent);
    if (failure.starts_with("FATAL ")) failure.clear();
    // Extraction for every 16th variant: nothing may land outside out/.
    if (failure.empty() && k % 16 == 0) {
      failure = run_driver(archive, silent, out);
      if (failure.starts_with("FATAL ")) failure.clear();
      fs::remove_all(out);
      if (failure.empty() && tree(box.dir()) != before) failure = "wrote outside out/";
    }
    ASSERT_EQ(failure, "") << c.name << " variant " << k;
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.name << " variant " << k;

    // The real program on a sample: status 0 or 1 and a closing message.
    if (k % 151 == 0) {
      const e2e::RunResult r = box.tarnc({"t", "w/v.trn", "*"});
      EXPECT_TRUE(r.status == 0 || r.status == 1) << c.name << " variant " << k << " status " << r.status;
      EXPECT_TRUE(ends_with_a_format_message(r.out)) << c.name << " variant " << k << ":\n" << r.out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Archives, CorruptionMatrix, ::testing::Range<size_t>(0, matrix_cases().size()),
                         [](const auto& info) { return std::string(matrix_cases()[info.param].name); });

// --- A damaged piece costs only its own entries.

// The entries whose CRC failed (or whose piece was damaged), by name.
struct CrcFailures : DriverEvents {
  std::set<std::string> names;
  void crc_failed(const FileEntry& entry) override { names.insert(entry.name); }
};

struct SalvageCase {
  const char* name;
  std::vector<std::string> switches;
};

class SalvageMatrix : public ::testing::TestWithParam<SalvageCase> {};

// Every single-byte change of the data area of an archive with several
// pieces: the run goes on to its end, and every entry outside the piece
// that holds the changed byte still tests correctly. The counts are what
// the README reports.
TEST_P(SalvageMatrix, AChangedByteCostsOnlyTheEntriesOfItsPiece) {
  const SalvageCase& c = GetParam();
  Sandbox box;
  box.write("src/a.txt", text(1000, 1400));
  box.write("src/b.exe", code(2000, 1000));
  box.write("src/c.txt", text(9000, 700));
  box.write("src/d.raw", slice("golden/inputs/stereo16", 20000, 900));
  box.write("src/e.txt", text(12000, 500));
  ASSERT_EQ(box.tarnc(e2e::with_args(e2e::with_args({"c"}, c.switches), {"a.trn", "src/*"})).status, 0);
  const std::string original = box.read("a.trn");
  const FileList table = testing::read_table(box.path("a.trn"));
  const auto& all = table.entries();
  ArchiveHeader header;
  ASSERT_TRUE(decode_header(reinterpret_cast<const uint8_t*>(original.data()), header));

  // The piece of every data byte: the group whose head's extent holds it.
  struct Piece {
    uint64_t begin, end;
    std::set<std::string> names;
  };
  std::vector<Piece> pieces;
  for (const EntryGroup& g : split_into_groups(all.size(), [&](size_t i) { return all[i].flags; })) {
    const FileEntry& head = all[g.first];
    Piece piece{head.offset, uint64_t{head.offset} + head.packed_size, {}};
    for (size_t k = 0; k < g.count; ++k) piece.names.insert(all[g.first + k].name);
    if (piece.end > piece.begin) pieces.push_back(piece);
  }
  const uint64_t data_begin = HEADER_SIZE, data_end = HEADER_SIZE + header.data_length;

  // Every byte would take a minute; a stride prime to the pieces' layout
  // still hits every piece many times (the README's figures: stride 1).
#if defined(__SANITIZE_ADDRESS__)
  constexpr uint64_t STRIDE = 29;
#else
  constexpr uint64_t STRIDE = 7;
#endif
  size_t changes = 0, salvaged = 0, undamaged = 0;
  const std::string path = box.path("v.trn");
  for (uint64_t at = data_begin; at < data_end; at += STRIDE) {
    std::string variant = original;
    variant[at] = static_cast<char>(variant[at] ^ (at % 2 == 0 ? 0xFF : 0x10));
    box.write("v.trn", variant);
    CrcFailures failures;
    const std::string outcome = run_driver(path, failures);
    ASSERT_EQ(outcome, "") << c.name << " byte " << at;
    const Piece* hit = nullptr;
    for (const Piece& p : pieces)
      if (at >= p.begin && at < p.end) hit = &p;
    ++changes;
    for (const FileEntry& e : all) {
      if (hit != nullptr && hit->names.count(e.name) != 0) continue;
      ++undamaged;
      if (failures.names.count(e.name) == 0) ++salvaged;
      else ADD_FAILURE() << c.name << " byte " << at << " cost " << e.name;
    }
    // Now and then the real program: status 0 and the closing message, and
    // the undamaged entries extracted byte for byte.
    if (changes % 31 == 1) {
      fs::remove_all(box.dir() / "out");
      const e2e::RunResult r = box.tarnc({"x", "-oout", "v.trn", "*"});
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(failures.names.empty(), !e2e::contains(r.out, "\nSeveral CRC errors detected.")) << r.out;
      for (const std::string& name : failures.names) EXPECT_TRUE(e2e::contains(r.err, "CRC error: " + name)) << r.err;
      for (const FileEntry& e : all) {
        if (failures.names.count(e.name) != 0) continue;
        std::string rel = e.name;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        EXPECT_TRUE(box.read("out/" + rel) == box.read(rel)) << e.name;
      }
    }
  }
  std::printf("[ salvage  ] %s: %zu changed bytes, %zu of %zu undamaged entries test correctly\n", c.name, changes,
              salvaged, undamaged);
  EXPECT_EQ(salvaged, undamaged);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, SalvageMatrix,
    ::testing::Values(SalvageCase{"store", {"-m0"}}, SalvageCase{"quickest", {"-mq"}}, SalvageCase{"fast", {"-mf"}},
                      SalvageCase{"normal", {"-mn"}}, SalvageCase{"good", {"-mg"}}, SalvageCase{"superb", {"-ms"}},
                      SalvageCase{"extreme", {"-me"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Claims larger than the file: the real program, its peak memory and time.

// A chunk stream whose prepass header claims `plain` bytes and whose first
// block claims `coded` bytes of `type`, then the `body`.
template <typename Body>
std::string chunk(uint32_t plain, uint8_t type, uint32_t coded, Body body) {
  const auto stream = testdata::encode_stream([&](RangeEncoder& coder) {
    LongRepeat::encode_u24(coder, plain);
    coder.encode_bits(0, 1);
    write_block_header(coder, type, coded);
    body(coder);
  });
  return {stream.begin(), stream.end()};
}

struct HostileCase {
  const char* name;
  std::string archive;
  std::vector<std::string> commands;  // each run as "<command> a.trn *"
  bool must_fail;                     // status 1, else 0 or 1
  const char* fatal;                  // the message it must end with, else any of the format's
  double seconds;
};

std::vector<HostileCase> hostile_cases() {
  std::vector<HostileCase> cases;
  std::string a = e2e::build_archive({{e2e::file_entry("a.txt", "abc"), "abc"}}, 0);
  cases.push_back({"four_billion_entries", a, {"l", "t"}, true, nullptr, 10});
  cases.back().archive.replace(9, 4, "\xFF\xFF\xFF\xFF");  // the entry count
  // The name length field of the only record: 0xFF05.
  cases.push_back({"name_past_the_end", a.replace(a.size() - 7, 2, "\xFF\xFF"), {"t"}, true, "I/O error", 10});
  FileEntry head = e2e::file_entry("a.txt", "abc");
  head.packed_size = 0xFFFFFF00u;
  FileEntry member = e2e::file_entry("b.txt", "de", FLAG_STORED | FLAG_SOLID_CONTINUATION);
  member.offset = 3;
  cases.push_back({"stored_group_past_the_end", e2e::build_archive({{head, "abcde"}, {member, ""}}, 3), {"t"}, true,
                   "I/O error", 10});
  // A chunk of a few bytes claiming the largest plain length (16 MiB) and
  // the largest coded length, in an entry claiming 4 GiB.
  const std::string tiny = chunk(0xFFFFFF, 0x00, 0x7FFFF, [](RangeEncoder&) {});
  FileEntry e = e2e::file_entry("a.txt", std::string(100, 'x'), 0);
  e.size = 0xFFFFFFFFu;
  e.packed_size = static_cast<uint32_t>(tiny.size());
  for (uint8_t method : {1, 6})
    cases.push_back({"chunk_claiming_16_mib", e2e::build_archive({{e, tiny}}, method), {"t"}, false, nullptr, 20});
  // Chunk after chunk of one byte each: every chunk uses up input, so the
  // decoder reaches the end of the file long before 4 GiB.
  const std::string one = chunk(1, BLOCK_LOW_REDUNDANCY, 1, [](RangeEncoder& coder) {
    coder.encode_shift('z', 'z' + 1, 8);
    coder.normalize();
  });
  std::string stream;
  for (int k = 0; k < 200; ++k) stream += one;
  FileEntry z = e2e::file_entry("a.txt", "z", 0);
  z.size = 0xFFFFFFFFu;
  cases.push_back({"4_gib_of_one_byte_chunks", e2e::build_archive({{z, stream}}, 2), {"t"}, false, nullptr, 10});
  return cases;
}

// Far below "gigabytes", above what a sanitizer build needs for a 16 MiB chunk.
constexpr long MEMORY_BOUND_KB = 400 * 1024;

TEST(HostileClaims, EndInAMessageSmallAndFastWhateverTheHeadersClaim) {
  const std::string tiny = chunk(0xFFFFFF, 0x00, 0x7FFFF, [](RangeEncoder&) {});
  ASSERT_LE(tiny.size(), 12u);
  for (const HostileCase& c : hostile_cases()) {
    Sandbox box;
    box.write("a.trn", c.archive);
    for (const std::string& command : c.commands) {
      SCOPED_TRACE(std::string(c.name) + " " + command);
      const e2e::Measured m = e2e::run_measured(box, {command, "a.trn", "*"});
      EXPECT_TRUE(m.status == 1 || (m.status == 0 && !c.must_fail)) << m.out;
      EXPECT_TRUE(c.fatal ? m.out.ends_with("\nFATAL: " + std::string(c.fatal) + "\n\n")
                          : ends_with_a_format_message(m.out))
          << m.out;
      EXPECT_LT(m.max_rss_kb, MEMORY_BOUND_KB);
      EXPECT_LT(m.seconds, c.seconds);
    }
  }
}

}  // namespace
}  // namespace tarn
