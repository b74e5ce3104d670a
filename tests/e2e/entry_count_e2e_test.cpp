// Memory and time that do not grow with the number of entries: a table of
// tens of thousands of small files, and a hostile table whose records all
// point at one packed piece, are tested and extracted within a bound that
// holds whatever the count -- one model heap and 16 MiB per worker, plus a
// few hundred bytes per table entry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

constexpr long PROGRAM_KB = 4 << 10;
constexpr long PER_ENTRY_BYTES = 400;

long bound_kb(long heap_kb, long workers, long entries) {
  return PROGRAM_KB + workers * (heap_kb + (16 << 10)) + entries * PER_ENTRY_BYTES / 1024;
}

// 20,000 small files packed one by one (no solid groups): every file is a
// stream of its own, and only the streams in flight may hold memory.
TEST(EntryCountE2E, ManySmallFilesCostAFewBytesEach) {
  SKIP_UNLESS_PEAK_MEMORY_IS_THE_PROGRAMS();
  Sandbox box;
  constexpr int FILES = 20000;
  in_child([&] {
    for (int i = 0; i < FILES; ++i) box.write("f/" + std::to_string(i) + ".txt", mixed_text(200 + i % 300, i + 1));
  });
  ASSERT_EQ(box.tarnc({"c", "-mq", "many.trn", "f/*"}).status, 0);
  const long workers = 2;  // at most: the machine's threads; the bound allows two
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"t", "many.trn", "*"}, {"x", "-oout", "many.trn", "*"}}) {
    const Measured m = run_measured(box, args);
    EXPECT_EQ(m.status, 0) << args[0] << m.out.substr(m.out.size() > 300 ? m.out.size() - 300 : 0);
    EXPECT_LT(m.max_rss_kb, bound_kb(5 << 10, workers, FILES)) << args[0];
  }
  EXPECT_EQ(box.read("out/f/123.txt"), mixed_text(200 + 123, 124));
}

// 200,000 records that all point at one packed piece: the piece is decoded
// once, not once per record, and each record costs what a small entry does.
TEST(EntryCountE2E, RecordsSharingOnePieceCostNoMoreThanSmallEntries) {
  SKIP_UNLESS_PEAK_MEMORY_IS_THE_PROGRAMS();
  Sandbox box;
  const std::string text = mixed_text(6000, 3);
  box.write("one.txt", text);
  box.fix_time("one.txt");
  ASSERT_EQ(box.tarnc({"c", "one.trn", "one.txt"}).status, 0);
  const std::string one = box.read("one.trn");
  constexpr int RECORDS = 200000;
  in_child([&] {
    // The packed piece of one.trn, and 200,000 records of it.
    const uint32_t data_length = load_le32(reinterpret_cast<const uint8_t*>(one.data()) + 13);
    FileEntry e = file_entry("x", text, 0);
    e.packed_size = data_length;
    e.offset = HEADER_SIZE;
    std::string table;
    for (int i = 0; i < RECORDS; ++i) {
      e.name = 'r';
      e.name += std::to_string(i);
      table += encode_record(e);
    }
    ArchiveHeader h;
    h.total_size = static_cast<uint32_t>(text.size() * RECORDS);
    h.entry_count = RECORDS;
    h.data_length = data_length;
    h.method = METHOD_NORMAL;
    const auto header = encode_header(h);
    uint8_t crc[4];
    store_le32(crc, crc32_of(reinterpret_cast<const uint8_t*>(table.data()), table.size()));
    const std::string archive = std::string(reinterpret_cast<const char*>(header.data()), HEADER_SIZE) +
                                one.substr(HEADER_SIZE, data_length) + std::string(reinterpret_cast<const char*>(crc), 4) +
                                table;
    box.write("shared.trn", archive);
  });
  const Measured m = run_measured(box, {"t", "shared.trn", "*"});
  EXPECT_EQ(m.status, 0);
  EXPECT_TRUE(m.err.empty()) << m.err.substr(0, 300);
  EXPECT_TRUE(contains(m.out, "Tested 200000 file(s)")) << m.out.substr(m.out.size() > 300 ? m.out.size() - 300 : 0);
  EXPECT_LT(m.max_rss_kb, bound_kb(25 << 10, 2, RECORDS));
  EXPECT_LT(m.max_rss_kb, 128 << 10);
  // Extracting some of them takes their bytes from the one decode.
  const Measured x = run_measured(box, {"x", "-oout", "shared.trn", "r1999*"});
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(box.read("out/r199999"), text);
  EXPECT_EQ(box.read("out/r1999"), text);
  EXPECT_FALSE(box.exists("out/r1"));
}

// An entry of unknown length from a pipe is spooled beside the archive, not
// held in memory: 128 MiB through tarn's standard input stay within the
// bound of a small entry, and the spool is gone afterwards.
TEST(EntryCountE2E, StandardInputIsSpooledNotHeld) {
  SKIP_UNLESS_PEAK_MEMORY_IS_THE_PROGRAMS();
  Sandbox box;
  constexpr long INPUT = 128L << 20;
  in_child([&] {  // its children's peak is the pipeline's alone
    const std::string cmd = "head -c " + std::to_string(INPUT) + " /dev/zero | " + quote(TARN_PATH) +
                            " create -1 --name=big piped.trn - 2>run.err";
    const bool ok = box.sh(cmd);
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    box.write("peak", std::to_string(ok ? usage.ru_maxrss : -1));
  });
  const long peak_kb = std::stol(box.read("peak"));
  EXPECT_GT(peak_kb, 0) << box.read("run.err");
  EXPECT_LT(peak_kb, bound_kb(5 << 10, 2, 1));  // the heap of -1
  const RunResult t = box.tarnc({"t", "piped.trn", "*"});
  EXPECT_TRUE(contains(t.out, "Tested 1 file(s)")) << t.out;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.dir()), std::filesystem::directory_iterator()), 3);  // peak, err, archive
}

}  // namespace
}  // namespace tarn::e2e
