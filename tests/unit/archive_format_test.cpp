// The archive's bytes: the CRC, DOS dates and times, header and record
// layout, the smallest archive, the search for the magic, and what opening and reading the table
// report.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "archive/format.h"
#include "common/byte_order.h"
#include "platform/dos_time.h"
#include "test_dir.h"

namespace tarn {
namespace {

using testdata::error_of;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(Crc32, CheckValueInOneCallOrInPiecesAndEmptyInputIsZero) {
  const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(crc32_of(digits, 9), 0xCBF43926u);
  EXPECT_EQ(crc32_of(nullptr, 0), 0u);
  Crc32 crc;
  crc.begin();
  crc.update(digits, 4);
  crc.update(digits + 4, 5);
  EXPECT_EQ(crc.value(), 0xCBF43926u);
  crc.begin();
  EXPECT_EQ(crc.value(), 0u);
}

// Long inputs take a folding path where the processor has one: every
// length around its steps, fed whole and in uneven pieces, must give the
// checksum a bit at a time gives.
TEST(Crc32, LongInputsMatchTheBitwiseChecksumWholeAndInPieces) {
  auto bitwise = [](const uint8_t* bytes, size_t count) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
      c ^= bytes[i];
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
  };
  std::vector<uint8_t> data(70000);
  uint32_t x = 12345;
  for (uint8_t& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 23);
  }
  std::fill(data.begin() + 5000, data.begin() + 6000, uint8_t{0xFF});  // runs of ones and zeros
  std::fill(data.begin() + 6000, data.begin() + 7000, uint8_t{0});
  for (const size_t offset : {size_t{0}, size_t{1}, size_t{7}, size_t{4999}}) {
    for (const size_t n : {size_t{255}, size_t{256}, size_t{257}, size_t{319}, size_t{320}, size_t{383}, size_t{1000},
                           size_t{4096}, size_t{65000}}) {
      const uint8_t* p = data.data() + offset;
      const uint32_t expected = bitwise(p, n);
      EXPECT_EQ(crc32_of(p, n), expected) << offset << " " << n;
      Crc32 crc;
      crc.begin();
      for (size_t at = 0, piece = 1; at < n; at += piece, piece = piece * 3 + 5)
        crc.update(p + at, std::min(piece, n - at));
      EXPECT_EQ(crc.value(), expected) << offset << " " << n << " in pieces";
    }
  }
}

TEST(ArchiveFormat, HeaderFieldsAreLittleEndianRecordFieldsBigEndian) {
  ArchiveHeader h;
  h.total_size = 1000;
  h.entry_count = 2;
  h.data_length = 0x01020304;
  h.method = 6;
  const auto b = encode_header(h);
  EXPECT_EQ(std::string(b.begin(), b.end()), std::string("TRN\x1A\x75\xE8\x03\0\0\x02\0\0\0\x04\x03\x02\x01\x06", 18));

  FileEntry e;
  e.name = "docs\\a.txt";
  e.size = 1000;
  e.dos_date = 0x2F61;
  e.dos_time = 0x6000;
  e.crc = 0xA1B2C3D4;
  e.attributes = ATTR_ARCHIVE;
  e.packed_size = 250;
  e.offset = 18;
  e.flags = FLAG_SOLID_CONTINUATION;
  const std::string r = encode_record(e);
  EXPECT_EQ(r, std::string("\x1B\x00\x00\x03\xE8\x2F\x61\x60\x00\xA1\xB2\xC3\xD4\x00\x00\x00\x20\x00\x00\x00\xFA\x00"
                           "\x00\x00\x12\x01\x00\x0A",
                           28) + e.name);
  FileEntry back;
  uint16_t name_length = 0;
  ASSERT_TRUE(decode_record_fixed(reinterpret_cast<const uint8_t*>(r.data()), back, name_length));
  EXPECT_EQ(name_length, 10);
  back.name = e.name;
  EXPECT_EQ(encode_record(back), r);  // every field read back
}

TEST(ArchiveFormat, SmallestArchiveIsTheFiftyOneByteExample) {
  TempDir dir;
  write_file("a", "");
  ASSERT_EQ(std::system("touch -d '2003-11-01 12:00:00 UTC' a && chmod 644 a"), 0);
  testing::create_from(testing::select_files({"a"}), CreateOptions{}, "small.trn");  // Normal
  const std::string expected(
      "\x54\x52\x4E\x1A\x75\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x03"
      "\x35\x7A\xFF\x65"
      "\x1B\x00\x00\x00\x00\x2F\x61\x60\x00\x00\x00\x00\x00\x00\x00\x00\x20\x00\x00\x00\x00\x00\x00\x00\x12\x02\x00\x01\x61",
      51);
  EXPECT_EQ(read_file("small.trn"), expected);
}

ErrorCode open_error(const std::string& name) {
  return error_of([&] { ArchiveReader().open_archive_for_reading(name); });
}

// An empty archive (no entries, no data, the CRC of an empty table) behind
// `stub_length` bytes.
std::string minimal_archive_at(size_t stub_length) {
  return std::string(stub_length, 'x') + std::string("TRN\x1A\x75", 5) + std::string(13 + 4, '\0');
}

TEST(ArchiveFormat, MagicSearchEndsAtTheLimitEvenOnTheCompletingByte) {
  TempDir dir;
  // Magic completed by byte 555,000: not found, whatever follows.
  write_file("limit.trn", minimal_archive_at(MAGIC_SEARCH_LIMIT - 4) + std::string(100, '\0'));
  EXPECT_EQ(open_error("limit.trn"), ErrorCode::NOT_AN_ARCHIVE);
  // Completed by byte 554,978: exactly 22 bytes of the limit remain after it.
  write_file("fits.trn", minimal_archive_at(MAGIC_SEARCH_LIMIT - 26) + std::string(100, '\0'));
  ArchiveReader reader;
  reader.open_archive_for_reading("fits.trn");
  EXPECT_EQ(reader.header_position(), MAGIC_SEARCH_LIMIT - 26);
  // One byte later only 21 remain.
  write_file("short.trn", minimal_archive_at(MAGIC_SEARCH_LIMIT - 25) + std::string(100, '\0'));
  EXPECT_EQ(open_error("short.trn"), ErrorCode::NOT_AN_ARCHIVE);
}

TEST(ArchiveFormat, OpeningReportsAMissingFileAndAddsTheExtension) {
  TempDir dir;
  EXPECT_EQ(open_error("missing"), ErrorCode::CANNOT_OPEN_ARCHIVE);
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
  testing::create_from(testing::select_files({"a.txt"}), testing::create_options(0), "t.trn");
  const std::string good = read_file("t.trn");
  auto table_error = [](const std::string& bytes) {
    write_file("d.trn", bytes);
    return error_of([] { testing::read_table("d.trn"); });
  };
  std::string name_changed = good;
  name_changed.back() = 'X';
  EXPECT_EQ(table_error(name_changed), ErrorCode::HEADER_DAMAGE);
  std::string marker_changed = good;
  marker_changed[18 + 3 + 4] = 0x1C;
  EXPECT_EQ(table_error(marker_changed), ErrorCode::HEADER_DAMAGE);
  EXPECT_EQ(table_error(good.substr(0, good.size() - 2)), ErrorCode::IO_ERROR);
  // A name must have at least one byte, even under a matching table CRC.
  std::string nameless = good.substr(0, good.size() - 5);  // header 18, "abc", CRC 4, record 28
  nameless[nameless.size() - 1] = 0;
  const std::string table = nameless.substr(25);
  uint8_t crc[4];
  store_le32(crc, crc32_of(reinterpret_cast<const uint8_t*>(table.data()), table.size()));
  nameless.replace(21, 4, reinterpret_cast<const char*>(crc), 4);
  EXPECT_EQ(table_error(nameless), ErrorCode::HEADER_DAMAGE);
  EXPECT_EQ(table_error(good), testdata::NO_ERROR);
}


constexpr int64_t NOV_1_2003_NOON = 1067688000;
constexpr uint16_t LAST_TIME = (23 << 11) | (59 << 5) | 29;

TEST(DosTime, ConvertsUtcBothWays) {
  EXPECT_EQ(platform::unix_to_dos(NOV_1_2003_NOON).date, 0x2F61);
  EXPECT_EQ(platform::unix_to_dos(NOV_1_2003_NOON).time, 0x6000);
  EXPECT_EQ(platform::dos_to_unix(0x2F61, 0x6000), NOV_1_2003_NOON);
  // 13:45:58 and 13:45:59 both store 29 two-second steps.
  const platform::DosDateTime odd = platform::unix_to_dos(NOV_1_2003_NOON + 3600 + 45 * 60 + 59);
  EXPECT_EQ(odd.time, (13 << 11) | (45 << 5) | 29);
  EXPECT_EQ(platform::dos_to_unix(0x2F61, odd.time), NOV_1_2003_NOON + 3600 + 45 * 60 + 58);
  EXPECT_EQ(platform::unix_to_dos(951782400).date, (20 << 9) | (2 << 5) | 29);  // 2000-02-29, a leap day
}

TEST(DosTime, ClampsTimesTheFormatCannotHold) {
  for (int64_t early : {int64_t{0}, int64_t{-86400 * 400}, int64_t{315532800}}) {  // the last: 1980-01-01
    EXPECT_EQ(platform::unix_to_dos(early).date, 0x0021) << early;
    EXPECT_EQ(platform::unix_to_dos(early).time, 0x0000) << early;
  }
  const int64_t year_2108 = 4354819200;  // 2108-01-01 00:00:00
  EXPECT_EQ(platform::unix_to_dos(year_2108).date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(platform::unix_to_dos(year_2108).time, LAST_TIME);
  EXPECT_EQ(platform::unix_to_dos(year_2108 - 2).time, LAST_TIME);
  // 2107 itself is held as it is: 2107-06-15 08:30:00.
  EXPECT_EQ(platform::unix_to_dos(4337569800).date, (127 << 9) | (6 << 5) | 15);
  EXPECT_EQ(platform::unix_to_dos(4337569800).time, (8 << 11) | (30 << 5));
}

}  // namespace
}  // namespace tarn
