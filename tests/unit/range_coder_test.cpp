#include <gtest/gtest.h>

#include <vector>

#include "coder/range_coder.h"

namespace tarn {
namespace {

TEST(RangeCoder, EmptyStreamIsFourZeroBytes) {
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  enc.flush();
  EXPECT_EQ(sink.bytes(), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(RangeCoder, BottomRuleCutsRangeAtStraddle) {
  // low = 0x00FFFF00, range = 0x200: the top bytes differ and range is below
  // 2^15, so range becomes the distance to the next multiple of 0x8000.
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  // Reach low = 0x00FFFF00, range = 0x200 through plain encode steps.
  enc.encode(0x00FFFF00u, 0x00FFFF00u + 0x200u, 0xFFFFFFFFu);
  ASSERT_EQ(enc.low(), 0x00FFFF00u);
  ASSERT_EQ(enc.range(), 0x200u);
  enc.normalize();
  EXPECT_EQ(sink.bytes(), (std::vector<uint8_t>{0x00}));
  EXPECT_EQ(enc.low(), 0xFFFF0000u);
  EXPECT_EQ(enc.range(), 0x10000u);
}

TEST(RangeCoder, DecoderReadsBackValuesAndConsumesExactlyTheStream) {
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  uint32_t seed = 12345;
  std::vector<std::pair<uint32_t, unsigned>> values;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1103515245u + 12345u;
    unsigned bits = 1 + (seed >> 16) % 15;
    uint32_t v = (seed >> 3) & ((1u << bits) - 1);
    values.emplace_back(v, bits);
    if (i % 3 == 0) {
      uint32_t scale = 1 + (seed >> 8) % 0x8000;
      uint32_t lo = v % scale;
      enc.encode(lo, lo + 1, scale);
      enc.normalize();
      values.back() = {lo, 100 + scale};  // marks a scaled symbol
    } else {
      enc.encode_bits(v, bits);
    }
  }
  enc.flush();
  sink.put(0xAB);  // a byte that belongs to whatever follows the stream

  MemorySource src(sink.bytes());
  RangeDecoder dec(src);
  dec.init();
  for (auto [v, bits] : values) {
    if (bits >= 100) {
      uint32_t scale = bits - 100;
      uint32_t count = dec.get_freq(scale);
      ASSERT_EQ(count, v);
      dec.update(v, v + 1);
      dec.normalize();
    } else {
      ASSERT_EQ(dec.decode_bits(bits), v);
    }
  }
  EXPECT_EQ(src.remaining(), 1u);
}

TEST(RangeCoder, TruncatedStreamRaisesUnexpectedEof) {
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  for (int i = 0; i < 100; ++i) enc.encode_bits(static_cast<uint32_t>(i) & 0xFF, 8);
  enc.flush();
  std::vector<uint8_t> cut(sink.bytes().begin(), sink.bytes().end() - 3);
  MemorySource src(cut);
  RangeDecoder dec(src);
  try {
    dec.init();
    for (int i = 0; i < 100; ++i) dec.decode_bits(8);
    FAIL() << "no error";
  } catch (const TarnError& e) {
    EXPECT_EQ(e.code(), ErrorCode::UNEXPECTED_EOF);
  }
}

}  // namespace
}  // namespace tarn
