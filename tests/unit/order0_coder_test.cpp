#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "coder/order0_coder.h"
#include "test_data.h"

namespace tarn {
namespace {

using testdata::encode_stream;

std::vector<uint8_t> encode(Order0Coder& coder, const std::vector<uint8_t>& bytes) {
  return encode_stream(
      [&](RangeEncoder& enc) { coder.order0_encode(enc, bytes.data(), static_cast<uint32_t>(bytes.size())); });
}

TEST(Order0Coder, FirstByteAfterResetIsCodedWithScale4096AndFrequency16) {
  Order0Coder coder;
  EXPECT_EQ(encode(coder, {'A'}), encode_stream([](RangeEncoder& enc) {
              enc.encode('A' * 16u, 'A' * 16u + 16u, 4096);
              enc.normalize();
            }));
  EXPECT_EQ(coder.freq('A'), 20);
  EXPECT_EQ(coder.total(), 4100);
}

TEST(Order0Coder, RepeatsGainFourUntilTheRunReachesFourThenTheRunItself) {
  // a a a a a a: increments 4, 4, 4, 4, 4, 5.
  const uint16_t expected_a[] = {20, 24, 28, 32, 36, 41};
  // A block that starts with 0 already has run 1: 4, 4, 4, 4, 5, 6.
  const uint16_t expected_zero[] = {20, 24, 28, 32, 37, 43};
  for (size_t k = 1; k <= 6; ++k) {
    Order0Coder a, zero;
    encode(a, std::vector<uint8_t>(k, 'a'));
    encode(zero, std::vector<uint8_t>(k, 0));
    EXPECT_EQ(a.freq('a'), expected_a[k - 1]) << k;
    EXPECT_EQ(zero.freq(0), expected_zero[k - 1]) << k;
  }
  // The increment by run: 4 below 4, the run itself from 4 to 32, then 8.
  const std::pair<uint32_t, uint16_t> increments[] = {{3, 4}, {4, 4}, {5, 5}, {32, 32}, {33, 8}};
  for (const auto& [run, increment] : increments) {
    Order0Coder coder;
    coder.order0_update('x', run);
    EXPECT_EQ(coder.freq('x'), 16 + increment) << run;
  }
}

TEST(Order0Coder, RescalingKeepsEveryValueAndHalvingRoundsUp) {
  Order0Coder run;
  encode(run, std::vector<uint8_t>(100000, 0x77));
  uint32_t sum = 0;
  for (unsigned c = 0; c < 256; ++c) {
    EXPECT_GE(run.freq(static_cast<uint8_t>(c)), 1) << c;
    sum += run.freq(static_cast<uint8_t>(c));
  }
  EXPECT_EQ(sum, run.total());
  EXPECT_LE(run.total(), 16000);

  // A total of exactly 16,000 stays; passing it halves every frequency.
  Order0Coder bound;
  for (int k = 0; k < 2976; ++k) bound.order0_update(static_cast<uint8_t>(k), 0);  // 4096 + 2976 x 4
  EXPECT_EQ(bound.total(), 16000);
  EXPECT_EQ(bound.freq(0), 64);
  bound.order0_update(0, 0);  // 68 -> 34; 159 values of 64 and 96 of 60 halve
  EXPECT_EQ(bound.total(), 34 + 159 * 32 + 96 * 30);

  // Drive byte 255 with increments of 8 and watch byte 0 (which starts at 16).
  Order0Coder coder;
  auto rescale = [&] {
    uint16_t before = coder.total();
    while (coder.total() >= before) {
      before = coder.total();
      coder.order0_update(255, 100);
    }
  };
  for (uint16_t e : {8, 4, 2, 1, 1}) {  // 16 -> 8 -> 4 -> 2 -> 1 -> 1
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
  const std::vector<uint8_t> original(block.begin(), block.begin() + n);
  SortTransform sort;
  sort.forward(block.data(), n);
  // Key (b, a) < key (a, b) as the byte just before is the high half: the
  // positions after 'a' (holding b) come first.
  std::vector<uint8_t> sorted(n + 2, 'a');
  std::fill_n(sorted.begin(), n / 2, uint8_t{'b'});
  sorted[n + 1] = 'b';
  EXPECT_EQ(block, sorted);
  sort.inverse(block.data(), n);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + n), original);
}

// Blocks the way the pipeline codes them, and back with a fresh model:
// sorted (type 4: the filter side sorts, the coder codes the block and the
// sort's two bytes behind it, the filter side unsorts) and unsorted (type 5,
// which also codes the two bytes behind).
TEST(Order0Coder, Type4And5BlocksRoundTripWithTheTwoBytesBehind) {
  const std::vector<uint32_t> lengths = {2, 3, 512, 3000, 70000};
  for (const bool sorted : {true, false}) {
    Order0Coder enc_model, dec_model;
    SortTransform enc_sort, dec_sort;
    std::vector<std::vector<uint8_t>> sent;
    const std::vector<uint8_t> stream = encode_stream([&](RangeEncoder& enc) {
      for (uint32_t n : lengths) {
        std::vector<uint8_t> work = testdata::mixed_bytes(n + 2, n + (sorted ? 0x43 : 0x50));
        for (auto& b : work) b = static_cast<uint8_t>(b % 7);
        std::vector<uint8_t> original = work;
        if (sorted) enc_sort.forward(work.data(), n);
        enc_model.order0_encode(enc, work.data(), n + 2);
        if (sorted) std::copy_n(original.begin(), 2, original.begin() + n);  // the sort's two
        sent.push_back(original);
      }
    });
    std::vector<std::vector<uint8_t>> received;
    EXPECT_EQ(testdata::decode_stream(stream, [&](RangeDecoder& dec) {
      for (uint32_t n : lengths) {
        received.emplace_back(n + 2, 0xEE);
        dec_model.order0_decode(dec, received.back().data(), n + 2);
        if (sorted) dec_sort.inverse(received.back().data(), n);
      }
    }), 0u);
    EXPECT_EQ(received, sent) << "sorted " << sorted;
  }
}

TEST(Order0Coder, CorruptStreamDecodesToSomeBytesWithoutRunningAway) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::vector<uint8_t> garbage = testdata::random_bytes(4000, seed);
    for (size_t i = 0; i < 8; ++i) garbage[i] = 0xFF;  // counts far past the total
    Order0Coder coder;
    SortTransform sort;
    std::vector<uint8_t> out(600 + 2);
    const ErrorCode code = testdata::error_of([&] {
      testdata::decode_stream(garbage, [&](RangeDecoder& dec) {
        coder.order0_decode(dec, out.data(), 600 + 2);
        sort.inverse(out.data(), 600);
      });
    });
    EXPECT_TRUE(code == testdata::NO_ERROR || code == ErrorCode::UNEXPECTED_EOF);
    EXPECT_LE(coder.total(), 16000);
  }
}

}  // namespace
}  // namespace tarn
