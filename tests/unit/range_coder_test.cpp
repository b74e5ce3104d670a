#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarn
