// The filter choice of encode_block on blocks of the golden inputs: the type
// and filtered length must be those the golden archives record, and every
// chosen filter must undo to the input.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filters.h"

namespace tarn {
namespace {

std::vector<uint8_t> read_shared_file(const std::string& relative) {
  std::ifstream in(std::string(TARN_SHARED_DIR) + "/" + relative, std::ios::binary);
  EXPECT_TRUE(in.good()) << relative;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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

  switch (type >> 4) {
    case 1: undo_text_filter(work.data(), block_length, type); break;
    case 2: undo_exe_filter(work.data(), block_length, stream_position); break;
    case 3:
    case 4:
    case 5: undo_stride_and_mm_filters(work.data(), block_length, type); break;
    default: break;
  }
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

TEST(FilterGolden, LatinTextBecomesType18) {
  const auto alice = read_shared_file("corpus/canterbury/alice29.txt");
  expect_choice(alice, 0, alice.size(), 0x18, 118449);
}

TEST(FilterGolden, CyrillicInBothCodePages) {
  const auto cp866 = read_shared_file("golden/inputs/cyr866");
  expect_choice(cp866, 0, cp866.size(), 0x19, 123880);
  const auto cp1251 = read_shared_file("golden/inputs/cyr1251");
  expect_choice(cp1251, 0, cp1251.size(), 0x1a, 123880);
}

TEST(FilterGolden, X86CodeGrowsBySixBytes) {
  const auto code = read_shared_file("golden/inputs/x86code");
  expect_choice(code, 0, code.size(), 0x20, 150007);
}

TEST(FilterGolden, PixelsAreTransposedWithStrideThree) {
  const auto pixels = read_shared_file("golden/inputs/pixels24");
  expect_choice(pixels, 0, pixels.size(), 0x32, 180000);
}

TEST(FilterGolden, StereoSamplesTakeThePredictorWithStrideFour) {
  const auto stereo = read_shared_file("golden/inputs/stereo16");
  expect_choice(stereo, 0, stereo.size(), 0x57, 240000);
}

TEST(FilterGolden, SpreadsheetBlocksAreTransposedWithStrideThirteen) {
  const auto sheet = read_shared_file("corpus/canterbury/kennedy.xls");
  ASSERT_EQ(sheet.size(), 1029744u);
  for (uint32_t offset = 0; offset < sheet.size(); offset += BLOCK_SIZE) {
    const uint32_t length = std::min<uint32_t>(BLOCK_SIZE, sheet.size() - offset);
    expect_choice(sheet, offset, length, 0x3c, length);
  }
}

TEST(FilterGolden, TextThenNoise) {
  const auto mixed = read_shared_file("golden/inputs/textnoise");
  ASSERT_EQ(mixed.size(), 150000u);
  expect_choice(mixed, 0, 90000, 0x18, 70025);
  expect_choice(mixed, 90000, 60000, 0x60, 60000);
}

TEST(FilterGolden, FaxImageBlocksStayPlain) {
  const auto fax = read_shared_file("corpus/canterbury/ptt5");
  expect_choice(fax, 0, 262144, 0x00, 262144);
  expect_choice(fax, 262144, 251072, 0x00, 251072);
}

// In both solid golden cases `sum` follows text whose last 785 or 946 bytes
// share its first block; its second block starts 8216 bytes into the file.
TEST(FilterGolden, SolidGroupBlockOfSumIsTransposedWithStrideTwelve) {
  const auto sum = read_shared_file("corpus/canterbury/sum");
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
    const auto file = read_shared_file(std::string("corpus/canterbury/") + name);
    group.insert(group.end(), file.begin(), file.end());
  }
  ASSERT_EQ(group.size(), 168880u);
  expect_choice(group, 0, 167934, 0x18, 137603);
}

TEST(FilterGolden, LetterSoupBlocksStayPlain) {
  const auto letters = read_shared_file("golden/inputs/letters1m");
  for (uint32_t offset = 0; offset < letters.size(); offset += BLOCK_SIZE) {
    const uint32_t length = std::min<uint32_t>(BLOCK_SIZE, letters.size() - offset);
    expect_choice(letters, offset, length, 0x00, length);
  }
}

}  // namespace
}  // namespace tarn
