// The filter choice of encode_block on blocks of the golden inputs: the type
// and filtered length must be those the golden archives record, and every
// chosen filter must undo to the input.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filters.h"
#include "test_data.h"

namespace tarn {
namespace {


struct Choice {
  uint8_t type;
  uint32_t length;
};

// The choice sequence of encode_block with every filter allowed, followed by
// the inverse filter of decode_block on the same work buffer.
Choice choose_and_undo(const std::vector<uint8_t>& data, uint32_t offset, uint32_t length,
                       uint32_t stream_position = 0) {
  std::vector<uint8_t> work(WORK_BUFFER_SIZE);
  std::memcpy(work.data(), data.data() + offset, length);
  uint32_t block_length = length;
  uint8_t type = try_exe_filter(work.data(), block_length, stream_position);
  if (type == 0) type = try_text_filter(work.data(), block_length);
  if (type == 0) type = try_stride_and_mm_filters(work.data(), block_length, true, true);
  if (type == 0) type = test_low_redundancy(work.data(), block_length);
  const Choice choice{type, block_length};

  undo_block_filter(work.data(), block_length, type, stream_position);
  EXPECT_EQ(block_length, length);
  EXPECT_TRUE(block_length == length &&
              std::memcmp(work.data(), data.data() + offset, length) == 0)
      << "block does not restore";
  return choice;
}

void expect_choice(const std::vector<uint8_t>& data, uint32_t offset, uint32_t length,
                   uint8_t type, uint32_t filtered_length) {
  const Choice c = choose_and_undo(data, offset, length);
  EXPECT_EQ(c.type, type) << std::hex << "type 0x" << int{c.type};
  EXPECT_EQ(c.length, filtered_length);
}

// Whole files, or blocks of them (`length` 0: to the end; `expected_length`
// 0: the block's own length).
TEST(FilterGolden, FilesChooseTheTypesAndLengthsOfTheGoldenArchives) {
  const struct {
    const char* file;
    uint32_t offset, length;
    uint8_t type;
    uint32_t expected_length;
  } cases[] = {
      {"canterbury/alice29.txt", 0, 0, 0x18, 118449},  // Latin text
      {"golden/inputs/cyr866", 0, 0, 0x19, 123880},           // Cyrillic in both code pages
      {"golden/inputs/cyr1251", 0, 0, 0x1a, 123880},
      {"golden/inputs/x86code", 0, 0, 0x20, 150007},          // x86 code grows by six bytes
      {"golden/inputs/pixels24", 0, 0, 0x32, 180000},         // pixels: stride three
      {"golden/inputs/stereo16", 0, 0, 0x57, 240000},         // stereo samples: predictor, stride four
      {"golden/inputs/textnoise", 0, 90000, 0x18, 70025},     // text, then noise
      {"golden/inputs/textnoise", 90000, 60000, 0x60, 0},
      {"canterbury/ptt5", 0, 262144, 0x00, 0},         // fax image blocks stay plain
      {"canterbury/ptt5", 262144, 251072, 0x00, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto data = testdata::data_bytes(c.file);
    const uint32_t length = c.length ? c.length : static_cast<uint32_t>(data.size());
    ASSERT_LE(c.offset + length, data.size());
    expect_choice(data, c.offset, length, c.type, c.expected_length ? c.expected_length : length);
  }
  // Every block of the spreadsheet is transposed with stride thirteen; the
  // letter soup's stay plain.
  const std::pair<std::vector<uint8_t>, uint8_t> sets[] = {{testdata::data_bytes("canterbury/kennedy.xls"), 0x3c},
                                                          {testdata::lcg_letters(1200000, 11), 0x00}};
  for (const auto& [data, type] : sets) {
    SCOPED_TRACE(type);
    for (uint32_t offset = 0; offset < data.size(); offset += BLOCK_SIZE) {
      const uint32_t length = std::min<uint32_t>(BLOCK_SIZE, data.size() - offset);
      expect_choice(data, offset, length, static_cast<uint8_t>(type), length);
    }
  }
}

// In both solid golden cases `sum` follows text whose last 785 or 946 bytes
// share its first block; its second block starts 8216 bytes into the file.
TEST(FilterGolden, SolidGroupBlockOfSumIsTransposedWithStrideTwelve) {
  const auto sum = testdata::data_bytes("canterbury/sum");
  expect_choice(sum, 8216, 14229, 0x3b, 14229);
  expect_choice(sum, 8216 + 14229, 13634, 0x00, 13634);
  expect_choice(sum, 8216 + 14229, 15795, 0x00, 15795);
}

// The first block of the small solid group: five text files up to 946 bytes
// before the end of the last one. Its filtered length does not depend on the
// order of the three middle files.
TEST(FilterGolden, SolidGroupTextBlock) {
  std::vector<uint8_t> group;
  for (const char* name : {"asyoulik.txt", "cp.html", "fields.c", "grammar.lsp", "xargs.1"}) {
    const auto file = testdata::data_bytes(std::string("canterbury/") + name);
    group.insert(group.end(), file.begin(), file.end());
  }
  ASSERT_EQ(group.size(), 168880u);
  expect_choice(group, 0, 167934, 0x18, 137603);
}

}  // namespace
}  // namespace tarn
