#include <gtest/gtest.h>

#include <vector>

#include "coder/order0_coder.h"
#include "common/error.h"
#include "test_data.h"

namespace tarn {
namespace {

std::vector<uint8_t> encode(Order0Coder& coder, const std::vector<uint8_t>& bytes) {
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  coder.order0_encode(enc, bytes.data(), static_cast<uint32_t>(bytes.size()));
  enc.flush();
  return sink.bytes();
}

TEST(Order0Coder, FirstByteAfterResetIsCodedWithScale4096AndFrequency16) {
  Order0Coder coder;
  std::vector<uint8_t> got = encode(coder, {'A'});

  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  enc.encode('A' * 16u, 'A' * 16u + 16u, 4096);
  enc.normalize();
  enc.flush();
  EXPECT_EQ(got, sink.bytes());
  EXPECT_EQ(coder.freq('A'), 20);
  EXPECT_EQ(coder.total(), 4100);
}

TEST(Order0Coder, RepeatsGainFourUntilTheRunReachesFourThenTheRunItself) {
  // a a a a a a: increments 4, 4, 4, 4, 4, 5.
  const uint16_t expected_a[] = {20, 24, 28, 32, 36, 41};
  // A block that starts with 0 already has run 1: 4, 4, 4, 4, 5, 6.
  const uint16_t expected_zero[] = {20, 24, 28, 32, 37, 43};
  for (size_t k = 1; k <= 6; ++k) {
    Order0Coder a;
    encode(a, std::vector<uint8_t>(k, 'a'));
    EXPECT_EQ(a.freq('a'), expected_a[k - 1]) << k;
    Order0Coder zero;
    encode(zero, std::vector<uint8_t>(k, 0));
    EXPECT_EQ(zero.freq(0), expected_zero[k - 1]) << k;
  }
}

TEST(Order0Coder, LongRunsRescaleWithoutLosingAnyValue) {
  Order0Coder coder;
  std::vector<uint8_t> run(100000, 0x77);
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  coder.order0_encode(enc, run.data(), static_cast<uint32_t>(run.size()));
  uint32_t sum = 0;
  for (unsigned c = 0; c < 256; ++c) {
    EXPECT_GE(coder.freq(static_cast<uint8_t>(c)), 1) << c;
    sum += coder.freq(static_cast<uint8_t>(c));
  }
  EXPECT_EQ(sum, coder.total());
  EXPECT_LE(coder.total(), 16000);
}

TEST(Order0Coder, HalvingRoundsUp) {
  Order0Coder coder;
  // Drive byte 255 with increments of 8 and watch byte 0 (which starts at 16).
  auto rescale = [&] {
    uint16_t before = coder.total();
    while (coder.total() >= before) {
      before = coder.total();
      coder.order0_update(255, 100);
    }
  };
  const uint16_t expected[] = {8, 4, 2, 1, 1};  // 16 -> 8 -> 4 -> 2 -> 1 -> 1
  for (uint16_t e : expected) {
    rescale();
    EXPECT_EQ(coder.freq(0), e);
  }
  coder.order0_update(0, 0);  // 1 + 4 = 5 -> 3 -> 2
  rescale();
  EXPECT_EQ(coder.freq(0), 3);
  rescale();
  EXPECT_EQ(coder.freq(0), 2);
}

TEST(Order0Coder, AlternatingBlockSortsIntoTwoRunsAndInverts) {
  const uint32_t n = 1000;
  std::vector<uint8_t> block(n + 2);
  for (uint32_t i = 0; i < n; ++i) block[i] = i % 2 ? 'b' : 'a';
  std::vector<uint8_t> original(block.begin(), block.begin() + n);
  Order0Coder coder;
  coder.sort_transform_forward(block.data(), n);
  // Key (b, a) < key (a, b) as the byte just before is the high half: the
  // positions after 'a' (holding b) come first.
  for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(block[i], i < n / 2 ? 'b' : 'a') << i;
  EXPECT_EQ(block[n], 'a');
  EXPECT_EQ(block[n + 1], 'b');
  coder.sort_transform_inverse(block.data(), n);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + n), original);
}

// Encodes blocks through order0_encode_block and decodes them back with a
// fresh model, checking the n + 2 coded bytes.
void round_trip_blocks(uint8_t block_type) {
  const std::vector<uint32_t> lengths = {2, 3, 512, 3000, 70000};
  Order0Coder enc_model;
  Order0Coder dec_model;
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  std::vector<std::vector<uint8_t>> sent;
  for (uint32_t n : lengths) {
    std::vector<uint8_t> work = testdata::mixed_bytes(n + 2, n + block_type);
    for (auto& b : work) b = static_cast<uint8_t>(b % 7);
    std::vector<uint8_t> original = work;
    enc_model.order0_encode_block(enc, work.data(), n, block_type);
    if (block_type >> 4 == 4) {
      original[n] = original[0];
      original[n + 1] = original[1];
    }
    sent.push_back(original);
  }
  enc.flush();

  MemorySource src(sink.bytes());
  RangeDecoder dec(src);
  dec.init();
  for (size_t b = 0; b < lengths.size(); ++b) {
    std::vector<uint8_t> work(lengths[b] + 2, 0xEE);
    dec_model.order0_decode_block(dec, work.data(), lengths[b], block_type);
    EXPECT_EQ(work, sent[b]) << "block " << b;
  }
  EXPECT_EQ(src.remaining(), 0u);
}

TEST(Order0Coder, Type4BlocksRoundTripThroughTheSortTransform) { round_trip_blocks(0x43); }

TEST(Order0Coder, Type5BlockCodesTheTwoBytesBehindIt) {
  round_trip_blocks(0x50);
  // The same stream as coding n + 2 plain bytes.
  std::vector<uint8_t> work = {1, 2, 3, 4, 9, 8};
  Order0Coder a;
  Order0Coder b;
  ByteSink s1;
  RangeEncoder e1(s1);
  e1.init();
  a.order0_encode_block(e1, work.data(), 4, 0x57);
  e1.flush();
  EXPECT_EQ(s1.bytes(), encode(b, work));
}

TEST(Order0Coder, CorruptStreamDecodesToSomeBytesWithoutRunningAway) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::vector<uint8_t> garbage = testdata::random_bytes(4000, seed);
    for (size_t i = 0; i < 8; ++i) garbage[i] = 0xFF;  // counts far past the total
    MemorySource src(garbage);
    RangeDecoder dec(src);
    dec.init();
    Order0Coder coder;
    std::vector<uint8_t> out(600 + 2);
    try {
      coder.order0_decode_block(dec, out.data(), 600, 0x40);
    } catch (const TarnError& e) {
      EXPECT_EQ(e.code(), ErrorCode::UNEXPECTED_EOF);
    }
    EXPECT_LE(coder.total(), 16000);
  }
}

}  // namespace
}  // namespace tarn
