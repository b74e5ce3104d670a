#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/create.h"
#include "archive/format.h"
#include "files/selection.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(SolidGroups, CandidatesAreFilesOfOneToSixteenHundredThousandBytes) {
  CreateOptions solid;
  solid.solid_blocks = true;
  FileEntry e;
  e.size = SOLID_FILE_LIMIT;
  EXPECT_TRUE(is_solid_candidate(e, solid));
  e.size = SOLID_FILE_LIMIT + 1;
  EXPECT_FALSE(is_solid_candidate(e, solid));
  e.size = 0;
  EXPECT_FALSE(is_solid_candidate(e, solid));
  e.size = 1;
  EXPECT_TRUE(is_solid_candidate(e, solid));
  CreateOptions store = solid;
  store.method = 0;
  EXPECT_FALSE(is_solid_candidate(e, store));
  CreateOptions plain;
  EXPECT_FALSE(is_solid_candidate(e, plain));
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
  EXPECT_EQ(entries[0].flags, 0);
  EXPECT_EQ(entries[1].flags, FLAG_SOLID_CONTINUATION);
  EXPECT_EQ(entries[2].flags, 0);
  EXPECT_EQ(entries[3].flags, FLAG_SOLID_CONTINUATION);
}

std::vector<std::string> table_names(const std::string& archive_name) {
  ArchiveReader reader;
  reader.open_archive_for_reading(archive_name);
  FileList list;
  reader.read_file_table(list);
  std::vector<std::string> names;
  for (const auto& e : list.entries()) names.push_back(e.name + (e.flags & FLAG_STORED ? "/s" : ""));
  return names;
}

void create(const std::vector<std::string>& wildcards, const CreateOptions& options, const std::string& name) {
  FileList list;
  FileSelector selector(list, {});
  for (const auto& w : wildcards) selector.expand_wildcard(w);
  platform::File archive;
  ASSERT_TRUE(archive.open_write(name));
  PivotGenerator random;
  ::testing::internal::CaptureStdout();  // the driver's progress lines
  create_archive(archive, list, options, random);
  ::testing::internal::GetCapturedStdout();
}

TEST(Creation, PlainEntriesRunInDescendingNameOrder) {
  TempDir dir;
  for (const char* n : {"b", "a", "c", "B"}) write_file(n, n);
  CreateOptions options;
  options.method = 0;
  create({"?"}, options, "x.trn");
  EXPECT_EQ(table_names("x.trn"), (std::vector<std::string>{"c/s", "b/s", "a/s", "B/s"}));
  // With -m0, -b forms no groups.
  options.solid_blocks = true;
  create({"?"}, options, "y.trn");
  EXPECT_EQ(table_names("y.trn"), (std::vector<std::string>{"c/s", "b/s", "a/s", "B/s"}));
}

TEST(Creation, DataThatDoesNotPackIsStoredAndTheArchiveCutAfterTheTable) {
  TempDir dir;
  std::string noise(100000, '\0');
  uint32_t x = 3;
  for (char& c : noise) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  write_file("noise", noise);
  CreateOptions options;
  options.method = 1;
  create({"noise"}, options, "n.trn");
  const std::string bytes = read_file("n.trn");
  EXPECT_EQ(bytes.size(), 18u + 100000u + 4u + 28u + 5u);
  EXPECT_EQ(bytes.substr(18, 100000), noise);
  EXPECT_EQ(table_names("n.trn"), (std::vector<std::string>{"noise/s"}));

  // The same in a solid group: stored raw at its own start.
  // Its own noise: a copy of the first file's bytes would pack.
  std::string noise2(5000, '\0');
  for (char& c : noise2) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  write_file("noise2", noise2);
  options.solid_blocks = true;
  create({"noise*"}, options, "g.trn");
  const std::string group = read_file("g.trn");
  EXPECT_EQ(group.size(), 18u + 105000u + 4u + 2 * 28u + 5u + 6u);
  ArchiveReader reader;
  reader.open_archive_for_reading("g.trn");
  FileList list;
  reader.read_file_table(list);
  const auto& head = list.entries()[0];
  const auto& member = list.entries()[1];
  EXPECT_EQ(head.flags, FLAG_STORED);
  EXPECT_EQ(head.packed_size, 105000u);
  EXPECT_EQ(member.flags, FLAG_SOLID_CONTINUATION);
  EXPECT_EQ(member.offset, head.size);
  EXPECT_EQ(member.packed_size, 0u);
}

}  // namespace
}  // namespace tarn
