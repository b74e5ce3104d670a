#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "coder/range_coder.h"
#include "test_data.h"

namespace tarn {
namespace {

using testdata::decode_stream;
using testdata::encode_stream;

TEST(RangeCoder, EmptyStreamIsFourZeroBytes) {
  EXPECT_EQ(encode_stream([](RangeEncoder&) {}), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(RangeCoder, BottomRuleCutsRangeAtStraddle) {
  // low = 0x00FFFF00, range = 0x200: the top bytes differ and range is below
  // 2^15, so range becomes the distance to the next multiple of 0x8000.
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  enc.encode(0x00FFFF00u, 0x00FFFF00u + 0x200u, 0xFFFFFFFFu);
  ASSERT_EQ(enc.low(), 0x00FFFF00u);
  ASSERT_EQ(enc.range(), 0x200u);
  enc.normalize();
  EXPECT_EQ(sink.bytes(), (std::vector<uint8_t>{0x00}));
  EXPECT_EQ(enc.low(), 0xFFFF0000u);
  EXPECT_EQ(enc.range(), 0x10000u);
}

// The model's division-free questions must give exactly the answers of the
// quotient, at every range the decoder passes through (including offsets past
// the interval, as damaged input gives) and at the bounds' edges.
TEST(RangeCoder, BoundTestsAgreeWithTheQuotient) {
  std::mt19937 engine(20261208);
  auto rng = [&engine] { return static_cast<uint32_t>(engine()); };
  std::vector<uint8_t> stream(1 << 20);
  for (uint8_t& b : stream) b = static_cast<uint8_t>(rng());
  MemorySource src_a(stream), src_b(stream);
  RangeDecoder by_quotient(src_a), by_bound(src_b);
  by_quotient.init();
  by_bound.init();
  for (int step = 0; step < 40000; ++step) {
    const bool shifted = step % 3 == 0;
    const uint32_t scale = shifted ? 1u << 14 : (step % 7 == 0 ? 1u << 15 : 1u + rng() % (1u << 15));
    const uint32_t count = shifted ? by_quotient.get_shift_freq(14) : by_quotient.get_freq(scale);
    const uint32_t offset = shifted ? by_bound.shift_range(14) : by_bound.scale_range(scale);
    const uint32_t bounds[] = {0u, 1u, count, count + 1u, scale, scale + 1u, 1u + rng() % scale};
    for (uint32_t bound : bounds)
      ASSERT_EQ(by_bound.below(offset, bound), count < bound) << "step " << step << " bound " << bound;
    const uint32_t low = count < scale ? count : scale - 1u;
    const uint32_t high = std::min(scale, low + 1u + rng() % 64u);
    by_quotient.update(low, high);
    by_bound.update(low, high);
    by_quotient.normalize();
    by_bound.normalize();
  }
}

}  // namespace
}  // namespace tarn
