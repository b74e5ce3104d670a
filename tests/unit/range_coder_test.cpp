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

TEST(RangeCoder, DecoderReadsBackValuesAndConsumesExactlyTheStream) {
  // Bit fields of 1..15 bits, and every third value a symbol of a scale.
  struct Value {
    uint32_t v;
    unsigned bits;
    uint32_t scale;  // 0: a bit field
  };
  std::vector<Value> values;
  uint32_t seed = 12345;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const unsigned bits = 1 + (seed >> 16) % 15;
    const uint32_t scale = i % 3 == 0 ? 1 + (seed >> 8) % 0x8000 : 0;
    const uint32_t v = (seed >> 3) & ((1u << bits) - 1);
    values.push_back({scale ? v % scale : v, bits, scale});
  }
  std::vector<uint8_t> stream = encode_stream([&](RangeEncoder& enc) {
    for (const Value& x : values) {
      if (x.scale == 0) {
        enc.encode_bits(x.v, x.bits);
        continue;
      }
      enc.encode(x.v, x.v + 1, x.scale);
      enc.normalize();
    }
  });
  stream.push_back(0xAB);  // a byte that belongs to whatever follows the stream
  EXPECT_EQ(decode_stream(stream,
                          [&](RangeDecoder& dec) {
                            for (const Value& x : values) {
                              if (x.scale == 0) {
                                ASSERT_EQ(dec.decode_bits(x.bits), x.v);
                                continue;
                              }
                              ASSERT_EQ(dec.get_freq(x.scale), x.v);
                              dec.update(x.v, x.v + 1);
                              dec.normalize();
                            }
                          }),
            1u);
}

TEST(RangeCoder, TruncatedStreamRaisesUnexpectedEof) {
  std::vector<uint8_t> stream = encode_stream([](RangeEncoder& enc) {
    for (uint32_t i = 0; i < 100; ++i) enc.encode_bits(i & 0xFF, 8);
  });
  stream.resize(stream.size() - 3);
  EXPECT_EQ(testdata::error_of([&] {
              decode_stream(stream, [](RangeDecoder& dec) {
                for (int i = 0; i < 100; ++i) dec.decode_bits(8);
              });
            }),
            ErrorCode::UNEXPECTED_EOF);
}

}  // namespace
}  // namespace tarn
