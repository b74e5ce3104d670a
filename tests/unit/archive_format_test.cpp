#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/create.h"
#include "archive/format.h"
#include "common/error.h"
#include "files/selection.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(ArchiveFormat, HeaderFieldsAreLittleEndianRecordFieldsBigEndian) {
  ArchiveHeader h;
  h.total_size = 1000;
  h.entry_count = 2;
  h.data_length = 0x01020304;
  h.method = 6;
  const auto b = encode_header(h);
  const std::vector<uint8_t> expected = {'T', 'R', 'N', 0x1A, 0x75, 0xE8, 0x03, 0, 0, 2, 0, 0, 0,
                                         4,   3,   2,   1,    6};
  EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.end()), expected);

  FileEntry e;
  e.name = "docs\\a.txt";
  e.size = 1000;
  e.dos_date = 0x2F61;
  e.dos_time = 0x6000;
  e.crc = 0xA1B2C3D4;
  e.attributes = 0x20;
  e.packed_size = 250;
  e.offset = 18;
  e.flags = FLAG_SOLID_CONTINUATION;
  const std::string r = encode_record(e);
  ASSERT_EQ(r.size(), 28u + e.name.size());
  const std::string fixed(
      "\x1B\x00\x00\x03\xE8\x2F\x61\x60\x00\xA1\xB2\xC3\xD4\x00\x00\x00\x20\x00\x00\x00\xFA\x00\x00\x00\x12\x01\x00\x0A",
      28);
  EXPECT_EQ(r.substr(0, 28), fixed);
  EXPECT_EQ(r.substr(28), e.name);

  FileEntry back;
  uint16_t name_length = 0;
  ASSERT_TRUE(decode_record_fixed(reinterpret_cast<const uint8_t*>(r.data()), back, name_length));
  EXPECT_EQ(name_length, 10);
  EXPECT_EQ(back.size, 1000u);
  EXPECT_EQ(back.crc, 0xA1B2C3D4u);
  EXPECT_EQ(back.offset, 18u);
  EXPECT_EQ(back.flags, FLAG_SOLID_CONTINUATION);
  EXPECT_EQ(back.dos_time, 0x6000);
}

void set_time_2003(const char* name) {
  std::string cmd = std::string("touch -d '2003-11-01 12:00:00 UTC' ") + name + " && chmod 644 " + name;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
}

TEST(ArchiveFormat, SmallestArchiveIsTheFiftyOneByteExample) {
  TempDir dir;
  write_file("a", "");
  set_time_2003("a");
  FileList list;
  FileSelector(list, {}).expand_wildcard("a");
  platform::File archive;
  ASSERT_TRUE(archive.open_write("small.trn"));
  CreateOptions options;  // Normal
  PivotGenerator random;
  ::testing::internal::CaptureStdout();  // the driver's progress lines
  create_archive(archive, list, options, random);
  ::testing::internal::GetCapturedStdout();
  const std::string expected(
      "\x54\x52\x4E\x1A\x75\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x03"
      "\x35\x7A\xFF\x65"
      "\x1B\x00\x00\x00\x00\x2F\x61\x60\x00\x00\x00\x00\x00\x00\x00\x00\x20\x00\x00\x00\x00\x00\x00\x00\x12\x02\x00\x01\x61",
      51);
  EXPECT_EQ(read_file("small.trn"), expected);
}

ErrorCode open_error(const std::string& name) {
  try {
    ArchiveReader reader;
    reader.open_archive_for_reading(name);
  } catch (const TarnError& e) {
    return e.code();
  }
  return static_cast<ErrorCode>(255);
}

std::string minimal_archive_at(size_t stub_length) {
  std::string bytes(stub_length, 'x');
  bytes += std::string("TRN\x1A\x75", 5);
  bytes += std::string(13, '\0');  // empty archive: no entries, no data
  bytes += std::string(4, '\0');   // table CRC of an empty table
  return bytes;
}

TEST(ArchiveFormat, MagicSearchEndsAtTheLimitEvenOnTheCompletingByte) {
  TempDir dir;
  // Magic completed by byte 555,000: not found, whatever follows.
  std::string at_limit = minimal_archive_at(MAGIC_SEARCH_LIMIT - 4) + std::string(100, '\0');
  write_file("limit.trn", at_limit);
  EXPECT_EQ(open_error("limit.trn"), ErrorCode::NOT_AN_ARCHIVE);

  // Completed by byte 554,978: exactly 22 bytes of the limit remain after it.
  std::string fits = minimal_archive_at(MAGIC_SEARCH_LIMIT - 26) + std::string(100, '\0');
  write_file("fits.trn", fits);
  ArchiveReader reader;
  reader.open_archive_for_reading("fits.trn");
  EXPECT_EQ(reader.header_position(), MAGIC_SEARCH_LIMIT - 26);

  // One byte later only 21 remain.
  write_file("short.trn", minimal_archive_at(MAGIC_SEARCH_LIMIT - 25) + std::string(100, '\0'));
  EXPECT_EQ(open_error("short.trn"), ErrorCode::NOT_AN_ARCHIVE);
}

TEST(ArchiveFormat, OpeningReportsVersionMissingFileAndAddsExtension) {
  TempDir dir;
  std::string other = minimal_archive_at(0);
  other[4] = 0x74;
  write_file("other.trn", other + std::string(100, '\0'));
  EXPECT_EQ(open_error("other.trn"), ErrorCode::OTHER_VERSION);
  EXPECT_EQ(open_error("missing"), ErrorCode::CANNOT_OPEN_ARCHIVE);
  write_file("text.trn", std::string(100, 'a'));
  EXPECT_EQ(open_error("text"), ErrorCode::NOT_AN_ARCHIVE);

  // An empty table leaves too few bytes after the magic without the padding.
  write_file("bare.trn", minimal_archive_at(0));
  EXPECT_EQ(open_error("bare.trn"), ErrorCode::NOT_AN_ARCHIVE);
  write_file("plain.trn", minimal_archive_at(7) + std::string(100, '\0'));
  ArchiveReader reader;
  reader.open_archive_for_reading("plain");
  EXPECT_EQ(reader.archive_name(), "plain.trn");
  EXPECT_EQ(reader.header_position(), 7u);
  FileList list;
  reader.read_file_table(list);
  EXPECT_TRUE(list.empty());
}

TEST(ArchiveFormat, TableDamageIsDetected) {
  TempDir dir;
  write_file("a.txt", "abc");
  FileList list;
  FileSelector(list, {}).expand_wildcard("a.txt");
  platform::File archive;
  ASSERT_TRUE(archive.open_write("t.trn"));
  CreateOptions options;
  options.method = 0;
  PivotGenerator random;
  ::testing::internal::CaptureStdout();  // the driver's progress lines
  create_archive(archive, list, options, random);
  ::testing::internal::GetCapturedStdout();
  const std::string good = read_file("t.trn");

  auto table_error = [](const std::string& bytes) {
    write_file("d.trn", bytes);
    try {
      ArchiveReader reader;
      reader.open_archive_for_reading("d.trn");
      FileList entries;
      reader.read_file_table(entries);
    } catch (const TarnError& e) {
      return e.code();
    }
    return static_cast<ErrorCode>(255);
  };
  std::string name_changed = good;
  name_changed.back() = 'X';
  EXPECT_EQ(table_error(name_changed), ErrorCode::HEADER_DAMAGE);
  std::string marker_changed = good;
  marker_changed[18 + 3 + 4] = 0x1C;
  EXPECT_EQ(table_error(marker_changed), ErrorCode::HEADER_DAMAGE);
  EXPECT_EQ(table_error(good.substr(0, good.size() - 2)), ErrorCode::IO_ERROR);
  EXPECT_EQ(table_error(good), static_cast<ErrorCode>(255));
}

TEST(ArchiveFormat, MethodTableMatchesTheFormat) {
  EXPECT_STREQ(METHOD_PARAMETERS[0].name, "No compression");
  EXPECT_EQ(METHOD_PARAMETERS[1].order, 3u);
  EXPECT_EQ(METHOD_PARAMETERS[1].megabytes, 5u);
  EXPECT_EQ(METHOD_PARAMETERS[3].order, 7u);
  EXPECT_EQ(METHOD_PARAMETERS[3].megabytes, 25u);
  EXPECT_EQ(METHOD_PARAMETERS[6].order, 14u);
  EXPECT_EQ(METHOD_PARAMETERS[6].megabytes, 70u);
  for (unsigned m = 1; m < 6; ++m) EXPECT_FALSE(METHOD_PARAMETERS[m].cut_off);
  EXPECT_TRUE(METHOD_PARAMETERS[6].cut_off);
}

}  // namespace
}  // namespace tarn
