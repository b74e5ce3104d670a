#include <gtest/gtest.h>

#include <vector>

#include "coder/long_repeat.h"
#include "test_data.h"

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

struct Prepass {
  Bytes coded;           // the prepass output
  bool applied = false;  // as the header read back says
  Bytes restored;
};

// Runs the prepass and its header through a stream and back, the way the
// pipeline does (the blocks in between are left out: they return their
// bytes unchanged).
Prepass round_trip(const Bytes& input) {
  LongRepeat packer;
  Prepass p;
  p.coded = input;
  packer.long_repeat_encode(p.coded);
  const Bytes stream = testdata::encode_stream(
      [&](RangeEncoder& enc) { packer.write_prepass_header(enc, static_cast<uint32_t>(p.coded.size())); });
  LongRepeat unpacker;
  uint32_t n = 0;
  EXPECT_EQ(testdata::decode_stream(stream, [&](RangeDecoder& dec) { n = unpacker.read_prepass_header(dec); }), 0u);
  EXPECT_EQ(n, p.coded.size());
  EXPECT_EQ(unpacker.plain_length(), input.size());
  p.applied = unpacker.prepass_applied();
  p.restored = p.coded;
  p.restored.resize(n + 10000, 0xCC);
  const uint32_t length = unpacker.long_repeat_decode(p.restored);
  EXPECT_EQ(length, p.restored.size());
  return p;
}

Bytes code_of(uint32_t repetition_length) {
  Bytes out(8);
  uint32_t pos = 0;
  LongRepeat::write_length_code(out.data(), pos, repetition_length - 56);
  out.resize(pos);
  return out;
}

TEST(LongRepeat, BelowEightKiBNeverTransformedTenThousandZerosBecomeSixtyFourAndACode) {
  const Bytes zeros(8191, 0);
  const Prepass small = round_trip(zeros);
  EXPECT_EQ(small.restored, zeros);
  EXPECT_EQ(small.coded, zeros);
  EXPECT_FALSE(small.applied);

  const Bytes more(10000, 0);
  const Prepass p = round_trip(more);
  EXPECT_EQ(p.restored, more);
  Bytes expected(64, 0);
  expected.insert(expected.end(), {0xFF, 0x25, 0xD1});
  EXPECT_EQ(p.coded, expected);
  EXPECT_TRUE(p.applied);
}

TEST(LongRepeat, LengthCodesAtTheirBoundaries) {
  EXPECT_EQ(code_of(56), (Bytes{0x00}));
  EXPECT_EQ(code_of(310), (Bytes{0xFE}));
  EXPECT_EQ(code_of(311), (Bytes{0xFF, 0x00, 0x00}));
  EXPECT_EQ(code_of(65845), (Bytes{0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(code_of(65846), (Bytes{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00}));
  for (uint32_t length : {56u, 310u, 311u, 65845u, 65846u, 16000000u}) {
    const Bytes code = code_of(length);
    uint32_t pos = 0;
    EXPECT_EQ(LongRepeat::read_length_code(code.data(), static_cast<uint32_t>(code.size()), pos), length - 56);
    EXPECT_EQ(pos, code.size());
  }
}

TEST(LongRepeat, RepetitionReachingTheEndKeepsItsFullLength) {
  // R R: an unused table entry predicts position 0, so at 5000 the second R
  // is found and the repetition runs to the end of the buffer.
  Bytes input = testdata::random_bytes(5000, 11);
  input.insert(input.end(), input.begin(), input.end());
  const Prepass p = round_trip(input);
  EXPECT_EQ(p.restored, input);
  Bytes expected(input.begin(), input.begin() + 5056);
  const Bytes code = code_of(5000);
  expected.insert(expected.end(), code.begin(), code.end());
  EXPECT_EQ(p.coded, expected);
}

Bytes with_repeats(uint32_t medium_count, uint32_t long_length) {
  Bytes v = testdata::random_bytes(60000, 21);
  auto append = [&](const Bytes& b) { v.insert(v.end(), b.begin(), b.end()); };
  auto append_copy = [&](size_t from, size_t len) {
    for (size_t i = 0; i < len; ++i) v.push_back(v[from + i]);
  };
  // Sources lie close behind, so no other position takes their table entry.
  for (uint32_t m = 0; m < medium_count; ++m) {
    append_copy(v.size() - 500, 108);  // found 8 bytes in: about 100 bytes
    append(testdata::random_bytes(600, 100 + m));
  }
  append(testdata::random_bytes(1200, 98));
  append_copy(v.size() - 1000, long_length);  // runs into itself
  append(testdata::random_bytes(300, 99));
  return v;
}

TEST(LongRepeat, UsedOnlyWhenLongRepetitionsOutweighMediumOnesOrItPaysThreefold) {
  LongRepeat a;
  Bytes one_long_three_medium = with_repeats(3, 25000);
  a.long_repeat_encode(one_long_three_medium);
  EXPECT_EQ(a.medium(), 3u);
  EXPECT_EQ(a.long_score(), 10u);
  EXPECT_TRUE(a.prepass_applied());  // 10 > 9
  EXPECT_EQ(round_trip(with_repeats(3, 25000)).restored, with_repeats(3, 25000));

  LongRepeat b;
  Bytes one_long_four_medium = with_repeats(4, 25000);
  const Bytes original = one_long_four_medium;
  b.long_repeat_encode(one_long_four_medium);
  EXPECT_EQ(b.medium(), 4u);
  EXPECT_FALSE(b.prepass_applied());
  EXPECT_EQ(one_long_four_medium, original);

  // Only medium repetitions, but the output is below a third of the input.
  Bytes periodic;
  const Bytes pattern = testdata::random_bytes(400, 5);
  for (int i = 0; i < 40; ++i) {
    periodic.insert(periodic.end(), pattern.begin(), pattern.end());
    const Bytes noise = testdata::random_bytes(20, 200 + i);
    periodic.insert(periodic.end(), noise.begin(), noise.end());
  }
  LongRepeat c;
  Bytes coded = periodic;
  c.long_repeat_encode(coded);
  EXPECT_EQ(c.long_score(), 0u);
  EXPECT_EQ(c.medium(), 39u);
  EXPECT_TRUE(c.prepass_applied());
  EXPECT_LT(coded.size(), periodic.size() / 3);
  EXPECT_EQ(round_trip(periodic).restored, periodic);

  // Blocks of an 8-byte key and 56 bytes, repeated in random order: every
  // repeat is a repetition of exactly 56 bytes that grows the output by a
  // byte, so the output is never used.
  const Bytes pieces = testdata::random_bytes(100 * 64, 8);
  Bytes growing;
  testdata::Lcg pick(9);
  while (growing.size() < 400000) {
    auto from = pieces.begin() + (pick.next() % 100) * 64;
    growing.insert(growing.end(), from, from + 64);
  }
  LongRepeat d;
  d.long_repeat_encode(growing);
  EXPECT_GT(d.medium(), 5000u);
  EXPECT_FALSE(d.prepass_applied());
}

TEST(LongRepeat, GoldenRepeatsFileShrinksTo100064Bytes) {
  const Bytes input = testdata::data_bytes("golden/inputs/repeats");
  ASSERT_EQ(input.size(), 335000u);
  const Prepass p = round_trip(input);
  EXPECT_EQ(p.restored, input);
  EXPECT_TRUE(p.applied);
  EXPECT_EQ(p.coded.size(), 100064u);
}

TEST(LongRepeat, CorruptInputStaysInsideTheRestoredBuffer) {
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    testdata::Lcg rng(seed);
    const uint32_t plain = seed == 1 ? 0 : rng.next() % 30000;
    const uint32_t n = 8 + rng.next() % 20000;
    const Bytes stream = testdata::encode_stream([&](RangeEncoder& enc) {
      LongRepeat::encode_u24(enc, plain);
      enc.encode_bits(1, 1);
      LongRepeat::encode_u24(enc, n);
    });
    LongRepeat unpacker;
    testdata::decode_stream(stream, [&](RangeDecoder& dec) { ASSERT_EQ(unpacker.read_prepass_header(dec), n); });
    // Repetitive garbage, so that trials succeed and length codes are read.
    Bytes d = testdata::random_bytes(n + 10000, seed);
    for (uint32_t i = 0; i < n; ++i) d[i] = (rng.next() % 4) ? (i % 7 == 0 ? 0xFF : 0) : d[i];
    EXPECT_EQ(unpacker.long_repeat_decode(d), plain);
    EXPECT_EQ(d.size(), plain);
  }
}

}  // namespace
}  // namespace tarn
