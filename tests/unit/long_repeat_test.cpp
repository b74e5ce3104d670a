#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "coder/long_repeat.h"
#include "common/error.h"
#include "test_data.h"

namespace tarn {
namespace {

struct Header {
  uint32_t plain = 0;
  bool applied = false;
  uint32_t n = 0;
};

// Runs the prepass and its header through a stream and back, the way the
// pipeline does (the blocks in between are left out: they return their
// bytes unchanged). Returns the restored buffer.
std::vector<uint8_t> round_trip(const std::vector<uint8_t>& input, std::vector<uint8_t>* coded,
                                Header* header) {
  LongRepeat packer;
  std::vector<uint8_t> buffer = input;
  packer.long_repeat_encode(buffer);
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  packer.write_prepass_header(enc, static_cast<uint32_t>(buffer.size()));
  enc.flush();
  if (coded) *coded = buffer;

  LongRepeat unpacker;
  MemorySource src(sink.bytes());
  RangeDecoder dec(src);
  dec.init();
  uint32_t n = unpacker.read_prepass_header(dec);
  EXPECT_EQ(src.remaining(), 0u);
  if (header) *header = {unpacker.plain_length(), unpacker.prepass_applied(), n};
  EXPECT_EQ(n, buffer.size());
  std::vector<uint8_t> decoded = buffer;
  decoded.resize(n + 10000, 0xCC);
  uint32_t length = unpacker.long_repeat_decode(decoded);
  EXPECT_EQ(length, decoded.size());
  return decoded;
}

std::vector<uint8_t> code_of(uint32_t repetition_length) {
  std::vector<uint8_t> out(8);
  uint32_t pos = 0;
  LongRepeat::write_length_code(out.data(), pos, repetition_length - 56);
  out.resize(pos);
  return out;
}

TEST(LongRepeat, BufferBelow8192IsNeverTransformed) {
  std::vector<uint8_t> zeros(8191, 0);
  std::vector<uint8_t> coded;
  Header h;
  EXPECT_EQ(round_trip(zeros, &coded, &h), zeros);
  EXPECT_EQ(coded, zeros);
  EXPECT_EQ(h.plain, 8191u);
  EXPECT_FALSE(h.applied);
  EXPECT_EQ(h.n, 8191u);
}

TEST(LongRepeat, TenThousandZerosBecomeSixtyFourZerosAndALengthCode) {
  std::vector<uint8_t> zeros(10000, 0);
  std::vector<uint8_t> coded;
  Header h;
  EXPECT_EQ(round_trip(zeros, &coded, &h), zeros);
  std::vector<uint8_t> expected(64, 0);
  expected.insert(expected.end(), {0xFF, 0x25, 0xD1});
  EXPECT_EQ(coded, expected);
  EXPECT_EQ(h.plain, 10000u);
  EXPECT_TRUE(h.applied);
  EXPECT_EQ(h.n, 67u);
}

TEST(LongRepeat, LengthCodesAtTheirBoundaries) {
  using V = std::vector<uint8_t>;
  EXPECT_EQ(code_of(56), (V{0x00}));
  EXPECT_EQ(code_of(310), (V{0xFE}));
  EXPECT_EQ(code_of(311), (V{0xFF, 0x00, 0x00}));
  EXPECT_EQ(code_of(65845), (V{0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(code_of(65846), (V{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00}));
  for (uint32_t length : {56u, 310u, 311u, 65845u, 65846u, 16000000u}) {
    V code = code_of(length);
    uint32_t pos = 0;
    EXPECT_EQ(LongRepeat::read_length_code(code.data(), static_cast<uint32_t>(code.size()), pos),
              length - 56);
    EXPECT_EQ(pos, code.size());
  }
}

TEST(LongRepeat, RepetitionReachingTheEndKeepsItsFullLength) {
  // R R: an unused table entry predicts position 0, so at 5000 the second R
  // is found and the repetition runs to the end of the buffer.
  std::vector<uint8_t> input = testdata::random_bytes(5000, 11);
  input.insert(input.end(), input.begin(), input.end());
  std::vector<uint8_t> coded;
  Header h;
  EXPECT_EQ(round_trip(input, &coded, &h), input);
  ASSERT_TRUE(h.applied);
  ASSERT_EQ(coded.size(), 5000u + 56u + 3u);
  EXPECT_TRUE(std::equal(coded.begin(), coded.begin() + 5056, input.begin()));
  EXPECT_EQ(std::vector<uint8_t>(coded.begin() + 5056, coded.end()), code_of(5000));
}

std::vector<uint8_t> with_repeats(uint32_t medium_count, uint32_t long_length) {
  std::vector<uint8_t> v = testdata::random_bytes(60000, 21);
  auto append_copy = [&](size_t from, size_t len) {
    for (size_t i = 0; i < len; ++i) v.push_back(v[from + i]);
  };
  // Sources lie close behind, so no other position takes their table entry.
  for (uint32_t m = 0; m < medium_count; ++m) {
    append_copy(v.size() - 500, 108);  // found 8 bytes in: about 100 bytes
    auto tail = testdata::random_bytes(600, 100 + m);
    v.insert(v.end(), tail.begin(), tail.end());
  }
  if (long_length) {
    auto fresh = testdata::random_bytes(1200, 98);
    v.insert(v.end(), fresh.begin(), fresh.end());
    append_copy(v.size() - 1000, long_length);  // runs into itself
  }
  auto tail = testdata::random_bytes(300, 99);
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

TEST(LongRepeat, UsedOnlyWhenLongRepetitionsOutweighMediumOnesOrItPaysThreefold) {
  LongRepeat a;
  std::vector<uint8_t> one_long_three_medium = with_repeats(3, 25000);
  a.long_repeat_encode(one_long_three_medium);
  EXPECT_EQ(a.medium(), 3u);
  EXPECT_EQ(a.long_score(), 10u);
  EXPECT_TRUE(a.prepass_applied());  // 10 > 9

  LongRepeat b;
  std::vector<uint8_t> one_long_four_medium = with_repeats(4, 25000);
  const std::vector<uint8_t> original = one_long_four_medium;
  b.long_repeat_encode(one_long_four_medium);
  EXPECT_EQ(b.medium(), 4u);
  EXPECT_FALSE(b.prepass_applied());
  EXPECT_EQ(one_long_four_medium, original);

  // Only medium repetitions, but the output is below a third of the input.
  std::vector<uint8_t> periodic;
  auto pattern = testdata::random_bytes(1000, 5);
  for (int i = 0; i < 40; ++i) {
    periodic.insert(periodic.end(), pattern.begin(), pattern.begin() + 400);
    auto noise = testdata::random_bytes(20, 200 + i);
    periodic.insert(periodic.end(), noise.begin(), noise.end());
  }
  LongRepeat c;
  std::vector<uint8_t> coded = periodic;
  c.long_repeat_encode(coded);
  EXPECT_EQ(c.long_score(), 0u);
  EXPECT_EQ(c.medium(), 39u);
  EXPECT_TRUE(c.prepass_applied());
  EXPECT_LT(coded.size(), periodic.size() / 3);
  EXPECT_EQ(round_trip(periodic, nullptr, nullptr), periodic);
}

TEST(LongRepeat, DecodeRestoresVariedInputs) {
  std::vector<std::vector<uint8_t>> inputs = {
      testdata::mixed_bytes(200000, 1), testdata::mixed_bytes(1 << 20, 2),
      testdata::random_bytes(70000, 3), std::vector<uint8_t>(8192, 7),
      std::vector<uint8_t>(300000, 0)};
  std::vector<uint8_t> short_period;
  for (int i = 0; i < 50000; ++i) short_period.push_back(static_cast<uint8_t>("abcab"[i % 5]));
  inputs.push_back(short_period);
  // Blocks of an 8-byte key and 56 bytes, repeated in random order: every
  // repeat is a repetition of exactly 56 bytes that grows the output by a byte.
  const std::vector<uint8_t> pieces = testdata::random_bytes(100 * 64, 8);
  std::vector<uint8_t> growing;
  testdata::Lcg pick(9);
  while (growing.size() < 400000) {
    auto from = pieces.begin() + (pick.next() % 100) * 64;
    growing.insert(growing.end(), from, from + 64);
  }
  inputs.push_back(growing);
  for (size_t k = 0; k < inputs.size(); ++k) {
    EXPECT_EQ(round_trip(inputs[k], nullptr, nullptr), inputs[k]) << "input " << k;
  }
  std::vector<uint8_t> coded = growing;
  LongRepeat packer;
  packer.long_repeat_encode(coded);
  EXPECT_GT(packer.medium(), 5000u);
  EXPECT_FALSE(packer.prepass_applied());
}

TEST(LongRepeat, GoldenRepeatsFileShrinksTo100064Bytes) {
  std::ifstream f(TARN_SHARED_DIR "/golden/inputs/repeats", std::ios::binary);
  if (!f) GTEST_SKIP() << "golden inputs not found";
  std::vector<uint8_t> input((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_EQ(input.size(), 335000u);
  std::vector<uint8_t> coded;
  Header h;
  EXPECT_EQ(round_trip(input, &coded, &h), input);
  EXPECT_TRUE(h.applied);
  EXPECT_EQ(h.n, 100064u);
}

TEST(LongRepeat, CorruptInputStaysInsideTheRestoredBuffer) {
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    testdata::Lcg rng(seed);
    const uint32_t plain = seed == 1 ? 0 : rng.next() % 30000;
    const uint32_t n = 8 + rng.next() % 20000;
    ByteSink sink;
    RangeEncoder enc(sink);
    enc.init();
    LongRepeat::encode_u24(enc, plain);
    enc.encode_bits(1, 1);
    LongRepeat::encode_u24(enc, n);
    enc.flush();
    MemorySource src(sink.bytes());
    RangeDecoder dec(src);
    dec.init();
    LongRepeat unpacker;
    ASSERT_EQ(unpacker.read_prepass_header(dec), n);
    // Repetitive garbage, so that trials succeed and length codes are read.
    std::vector<uint8_t> d = testdata::random_bytes(n + 10000, seed);
    for (uint32_t i = 0; i < n; ++i) d[i] = (rng.next() % 4) ? (i % 7 == 0 ? 0xFF : 0) : d[i];
    EXPECT_EQ(unpacker.long_repeat_decode(d), plain);
    EXPECT_EQ(d.size(), plain);
  }
}

}  // namespace
}  // namespace tarn
