// Creation: which files form solid groups, the order of plain entries, and
// the fallback to storing data that does not pack.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/format.h"
#include "common/crc32.h"
#include "stream/file_input.h"
#include "stream/stream_codec.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testing::create_from;
using testing::read_file;
using testing::select_files;
using testing::TempDir;
using testing::write_file;

TEST(SolidGroups, CandidatesAreFilesOfOneToSixteenHundredThousandBytes) {
  CreateOptions solid;
  solid.solid_blocks = true;
  CreateOptions store = solid;
  store.coding.method = 0;
  FileEntry e;
  for (const auto& [size, candidate] :
       std::vector<std::pair<uint32_t, bool>>{{SOLID_FILE_LIMIT, true}, {SOLID_FILE_LIMIT + 1, false}, {0, false}, {1, true}}) {
    e.size = size;
    EXPECT_EQ(is_solid_candidate(e, solid), candidate) << size;
  }
  EXPECT_FALSE(is_solid_candidate(e, store));
  EXPECT_FALSE(is_solid_candidate(e, CreateOptions{}));
}

TEST(SolidGroups, GroupStartsAnewWhenTheLimitWouldBePassed) {
  std::vector<FileEntry> entries(4);
  entries[0].size = 1500000;
  entries[1].size = 1600000;
  entries[2].size = 1200000;  // 4,300,000 > 4,188,160
  entries[3].size = 2988160;  // exactly 4,188,160 with the one before
  std::vector<FileEntry*> v;
  for (auto& e : entries) v.push_back(&e);
  assign_solid_groups(v);
  std::vector<uint8_t> flags;
  for (const auto& e : entries) flags.push_back(e.flags);
  EXPECT_EQ(flags, (std::vector<uint8_t>{0, FLAG_SOLID_CONTINUATION, 0, FLAG_SOLID_CONTINUATION}));
}

std::vector<std::string> table_names(const std::string& archive_name) {
  std::vector<std::string> names;
  const FileList list = testing::read_table(archive_name);
  for (const auto& e : list.entries())
    names.push_back(e.name + (e.flags & FLAG_STORED ? "/s" : ""));
  return names;
}

TEST(Creation, PlainEntriesRunInDescendingNameOrder) {
  TempDir dir;
  for (const char* n : {"b", "a", "c", "B"}) write_file(n, n);
  for (const bool solid : {false, true}) {  // with -m0, -b forms no groups
    create_from(select_files({"?"}), testing::create_options(0, solid), "x.trn");
    EXPECT_EQ(table_names("x.trn"), (std::vector<std::string>{"c/s", "b/s", "a/s", "B/s"})) << solid;
  }
}

TEST(Creation, DataThatDoesNotPackIsStoredAndTheArchiveCutAfterTheTable) {
  TempDir dir;
  const std::vector<uint8_t> bytes = testdata::random_bytes(105000, 3);
  const std::string noise(bytes.begin(), bytes.begin() + 100000);
  write_file("noise", noise);
  CreateOptions options = testing::create_options(1);
  create_from(select_files({"noise"}), options, "n.trn");
  const std::string archive = read_file("n.trn");
  EXPECT_EQ(archive.size(), 18u + 100000u + 4u + 28u + 5u);
  EXPECT_EQ(archive.substr(18, 100000), noise);
  EXPECT_EQ(table_names("n.trn"), (std::vector<std::string>{"noise/s"}));

  // The same in a solid group, with noise of its own (a copy of the first
  // file's bytes would pack): stored raw at its own start.
  write_file("noise2", std::string(bytes.begin() + 100000, bytes.end()));
  options.solid_blocks = true;
  create_from(select_files({"noise*"}), options, "g.trn");
  EXPECT_EQ(read_file("g.trn").size(), 18u + 105000u + 4u + 2 * 28u + 5u + 6u);
  const FileList list = testing::read_table("g.trn");
  const auto& head = list.entries()[0];
  const auto& member = list.entries()[1];
  EXPECT_EQ(head.flags, FLAG_STORED);
  EXPECT_EQ(head.packed_size, 105000u);
  EXPECT_EQ(member.flags, FLAG_SOLID_CONTINUATION);
  EXPECT_EQ(member.offset, head.size);
  EXPECT_EQ(member.packed_size, 0u);
}

// Random bytes and zeros whose packed piece is exactly `margin` bytes
// shorter than they are: the zeros cost next to nothing, so each one more
// widens the margin by one byte.
std::string packing_with_margin(uint32_t margin, const CodingOptions& setup) {
  const std::vector<uint8_t> noise = testdata::random_bytes(4000, 3);
  for (uint32_t zeros = 0; zeros < 200; ++zeros) {
    std::vector<uint8_t> v = noise;
    v.insert(v.end(), zeros, 0);
    if (pack_group_stream(setup, v).size() + margin == v.size()) return std::string(v.begin(), v.end());
  }
  ADD_FAILURE() << "no input packs to exactly " << margin << " bytes less";
  return {};
}

TEST(Creation, PackedPieceIsKeptOnlyWhenTenBytesShorter) {
  TempDir dir;
  CodingOptions setup;
  setup.method = 1;
  for (uint32_t margin : {9u, 10u}) {
    const std::string data = packing_with_margin(margin, setup);
    write_file("f", data);
    for (bool solid : {false, true}) {  // with -b the file is a group of its own
      create_from(select_files({"f"}), testing::create_options(1, solid), "a.trn");
      const FileEntry e = testing::read_table("a.trn").entries()[0];
      const bool stored = margin < 10;
      const std::string what = "margin " + std::to_string(margin) + (solid ? " solid" : "");
      EXPECT_EQ(e.flags, stored ? FLAG_STORED : 0) << what;
      EXPECT_EQ(e.packed_size, stored ? data.size() : data.size() - margin) << what;
    }
  }
}

// A file that has more bytes when it is packed than when it was selected
// keeps its selected size: its first bytes are stored and the event names
// it, whichever way it is written (packed, stored for not paying, in a
// solid group, with -m0). One that has fewer ends the run, naming it.
// Members read from `files` as they are when packing, not when selected.
std::function<std::unique_ptr<SequentialInput>(const FileEntry&)> reading_from(const std::map<std::string, std::string>& files) {
  return [&files](const FileEntry& e) -> std::unique_ptr<SequentialInput> {
    const std::string& content = files.at(e.name);
    return std::make_unique<MemoryMemberInput>(reinterpret_cast<const uint8_t*>(content.data()), content.size(),
                                               e.name);
  };
}

struct GrewRecord : DriverEvents {
  void file_grew(const FileEntry& e) override { grew.push_back(e.name); }
  std::vector<std::string> grew;
};

TEST(Creation, FilesThatChangedSizeWhilePackedAreTold) {
  TempDir dir;
  const std::vector<uint8_t> bytes = testdata::random_bytes(3000, 5);
  const std::map<std::string, std::string> selected = {
      {"grown.txt", testdata::mixed_text(3000, 1)}, {"grown.bin", std::string(bytes.begin(), bytes.end())},
      {"same.txt", testdata::mixed_text(2000, 2)}, {"empty", ""}};
  std::map<std::string, std::string> now = selected;
  for (const char* name : {"grown.txt", "grown.bin", "empty"}) now[name] += "and then some more";
  for (const auto& [name, content] : selected) write_file(name, content);
  const auto pack = [&now](const std::string& name, uint8_t method, bool solid, DriverEvents& events) {
    CreateOptions options = testing::create_options(method, solid);
    options.open_input = reading_from(now);
    FileList list = select_files({"grown*", "same.txt", "empty"});
    platform::File file;
    ASSERT_TRUE(file.open_write(name));
    FileArchiveOutput out(file);
    PivotGenerator random;
    create_archive(out, list, options, random, events);
  };
  for (const uint8_t method : {0, 1}) {
    for (const bool solid : {false, true}) {
      GrewRecord record;
      pack("a.trn", method, solid, record);
      const std::string what = "method " + std::to_string(method) + (solid ? " solid" : "");
      std::sort(record.grew.begin(), record.grew.end());
      EXPECT_EQ(record.grew, (std::vector<std::string>{"empty", "grown.bin", "grown.txt"})) << what;
      const FileList table = testing::read_table("a.trn");
      for (const FileEntry& e : table.entries()) {
        const std::string& content = selected.at(e.name);
        EXPECT_EQ(e.size, content.size()) << what << " " << e.name;
        EXPECT_EQ(e.crc, crc32_of(reinterpret_cast<const uint8_t*>(content.data()), content.size())) << what << " " << e.name;
      }
    }
  }
  // Shorter: the run ends with the file named.
  now = selected;
  now["same.txt"].resize(100);
  for (const bool solid : {false, true}) {
    DriverEvents quiet;
    try {
      pack("b.trn", 1, solid, quiet);
      ADD_FAILURE() << "created";
    } catch (const TarnError& e) {
      EXPECT_EQ(e.code(), ErrorCode::IO_ERROR);
      EXPECT_EQ(e.detail(), "same.txt: shorter than when it was selected, so nothing was stored");
    }
  }
}

}  // namespace
}  // namespace tarn
