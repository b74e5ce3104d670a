#include <gtest/gtest.h>

#include <vector>

#include "coder/byte_predictor.h"
#include "common/error.h"
#include "test_data.h"

namespace tarn {
namespace {

std::vector<uint8_t> encode(BytePredictor& p, const std::vector<uint8_t>& bytes) {
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  p.encode(enc, bytes.data(), static_cast<uint32_t>(bytes.size()));
  enc.flush();
  return sink.bytes();
}

// The expected stream written by hand: literals and flag intervals of 256.
struct Expected {
  ByteSink sink;
  RangeEncoder enc{sink};
  Expected() { enc.init(); }
  Expected& literal(uint8_t s) {
    enc.encode_bits(s, 8);
    return *this;
  }
  Expected& interval(uint32_t lo, uint32_t hi) {
    enc.encode_shift(lo, hi, 8);
    enc.normalize();
    return *this;
  }
  std::vector<uint8_t> bytes() {
    enc.flush();
    return sink.bytes();
  }
};

TEST(BytePredictor, LeadingZeroIsAHitCodedAsLiteral) {
  BytePredictor p;
  Expected e;
  EXPECT_EQ(encode(p, {0}), e.literal(0).bytes());
  EXPECT_EQ(p.entry(0).confidence, 1);
  EXPECT_EQ(p.entry(0).predicted, 0);
}

TEST(BytePredictor, FifthOccurrenceOfAPairUsesTheHitFlag) {
  BytePredictor p;
  std::vector<uint8_t> block = {7, 9, 7, 9, 7, 9, 7, 9, 7, 9};
  Expected e;
  for (int i = 0; i < 9; ++i) e.literal(block[i]);
  e.interval(0, 128);  // (7, 9) the fifth time: confidence 3
  EXPECT_EQ(encode(p, block), e.bytes());
  EXPECT_EQ(p.entry(7).confidence, 4);
  EXPECT_EQ(p.entry(9).confidence, 3);
}

TEST(BytePredictor, ConfidenceSaturatesAtTenAndAMissStartsOver) {
  BytePredictor p;
  // Run of v: the entry of v learns v at the second byte, then its hits go
  // 0, 1, 2 (literals), 3..9 (flags of their weights), 10, 10 (weight 253).
  const uint8_t v = 0x41;
  std::vector<uint8_t> block(1 + 1 + 12, v);
  block.push_back(0x42);  // miss at confidence 10
  block.push_back(v);     // entry of 0x42 is fresh: miss, literal
  block.push_back(0x42);  // entry of v restarted at confidence 0: a literal hit
  Expected e;
  e.literal(v).literal(v);
  for (int k = 0; k < 3; ++k) e.literal(v);
  for (int k = 3; k <= 10; ++k) e.interval(0, BytePredictor::HIT_WEIGHT[k]);
  e.interval(0, 253);
  e.interval(253, 256).literal(0x42);
  e.literal(v);
  e.literal(0x42);
  EXPECT_EQ(encode(p, block), e.bytes());
  EXPECT_EQ(p.entry(v).confidence, 1);
  EXPECT_EQ(p.entry(v).predicted, 0x42);
}

TEST(BytePredictor, DecoderFollowsTheEncoderAcrossBlocks) {
  BytePredictor enc_table;
  BytePredictor dec_table;
  std::vector<std::vector<uint8_t>> blocks = {testdata::mixed_bytes(20000, 3),
                                              testdata::random_bytes(5000, 4),
                                              std::vector<uint8_t>(3000, 0x33),
                                              testdata::mixed_bytes(7000, 5)};
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  for (const auto& b : blocks) enc_table.encode(enc, b.data(), static_cast<uint32_t>(b.size()));
  enc.flush();

  MemorySource src(sink.bytes());
  RangeDecoder dec(src);
  dec.init();
  for (const auto& b : blocks) {
    std::vector<uint8_t> out(b.size());
    dec_table.decode(dec, out.data(), static_cast<uint32_t>(out.size()));
    EXPECT_EQ(out, b);
  }
  EXPECT_EQ(src.remaining(), 0u);
}

TEST(BytePredictor, CorruptStreamNeverFailsButAtItsEnd) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::vector<uint8_t> garbage = testdata::random_bytes(3000, seed);
    MemorySource src(garbage);
    RangeDecoder dec(src);
    dec.init();
    BytePredictor p;
    std::vector<uint8_t> out(2000);
    try {
      p.decode(dec, out.data(), static_cast<uint32_t>(out.size()));
    } catch (const TarnError& e) {
      EXPECT_EQ(e.code(), ErrorCode::UNEXPECTED_EOF);
    }
  }
}

}  // namespace
}  // namespace tarn
