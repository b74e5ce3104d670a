#include <gtest/gtest.h>

#include <vector>

#include "coder/byte_predictor.h"
#include "test_data.h"

namespace tarn {
namespace {

using testdata::encode_stream;

std::vector<uint8_t> encode(BytePredictor& p, const std::vector<uint8_t>& bytes) {
  return encode_stream([&](RangeEncoder& enc) { p.encode(enc, bytes.data(), static_cast<uint32_t>(bytes.size())); });
}

// The expected stream written by hand: literals (8 bits) and flag intervals
// of a scale of 256 ({lo, hi}).
using Step = std::pair<uint32_t, uint32_t>;
std::vector<uint8_t> by_hand(const std::vector<Step>& steps) {
  return encode_stream([&](RangeEncoder& enc) {
    for (const auto& [lo, hi] : steps) {
      if (hi == 0) {
        enc.encode_bits(lo, 8);
        continue;
      }
      enc.encode_shift(lo, hi, 8);
      enc.normalize();
    }
  });
}
Step literal(uint8_t s) { return {s, 0}; }

TEST(BytePredictor, LeadingZeroIsAHitCodedAsLiteral) {
  BytePredictor p;
  EXPECT_EQ(encode(p, {0}), by_hand({literal(0)}));
  EXPECT_EQ(p.entry(0).confidence, 1);
  EXPECT_EQ(p.entry(0).predicted, 0);
}

TEST(BytePredictor, FromTheFifthOccurrenceOfAPairHitsAndMissesAreFlagged) {
  BytePredictor p;
  std::vector<Step> steps;
  for (int i = 0; i < 9; ++i) steps.push_back(literal(i % 2 ? 9 : 7));
  steps.push_back({0, 128});  // (7, 9) the fifth time: confidence 3
  EXPECT_EQ(encode(p, {7, 9, 7, 9, 7, 9, 7, 9, 7, 9}), by_hand(steps));
  EXPECT_EQ(p.entry(7).confidence, 4);
  EXPECT_EQ(p.entry(9).confidence, 3);
  // A miss at confidence 3 already codes the miss flag.
  BytePredictor q;
  steps.back() = {128, 256};
  steps.push_back(literal(8));
  EXPECT_EQ(encode(q, {7, 9, 7, 9, 7, 9, 7, 9, 7, 8}), by_hand(steps));
  EXPECT_EQ(q.entry(7).confidence, 0);
  EXPECT_EQ(q.entry(7).predicted, 8);
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
  std::vector<Step> steps(5, literal(v));
  for (int k = 3; k <= 10; ++k) steps.push_back({0, BytePredictor::HIT_WEIGHT[k]});
  steps.insert(steps.end(), {{0, 253}, {253, 256}, literal(0x42), literal(v), literal(0x42)});
  const std::vector<uint8_t> stream = by_hand(steps);
  EXPECT_EQ(encode(p, block), stream);
  EXPECT_EQ(p.entry(v).confidence, 1);
  EXPECT_EQ(p.entry(v).predicted, 0x42);
  // And the decoder reads every flag and literal back.
  BytePredictor d;
  std::vector<uint8_t> decoded(block.size());
  EXPECT_EQ(testdata::decode_stream(stream, [&](RangeDecoder& dec) {
              d.decode(dec, decoded.data(), static_cast<uint32_t>(decoded.size()));
            }), 0u);
  EXPECT_EQ(decoded, block);
}

}  // namespace
}  // namespace tarn
