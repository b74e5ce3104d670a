#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "coder/ppm_model.h"

namespace tarn {
namespace {

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Text, a fax image, noise, runs and a repeated phrase, back to back.
std::vector<uint8_t> varied_data() {
  const std::string shared = TARN_SHARED_DIR;
  std::vector<uint8_t> data = read_file(shared + "/corpus/canterbury/alice29.txt");
  data.resize(90000);
  std::vector<uint8_t> fax = read_file(shared + "/corpus/canterbury/ptt5");
  data.insert(data.end(), fax.begin(), fax.begin() + 60000);
  uint32_t seed = 7;
  for (int i = 0; i < 40000; ++i) {
    seed = seed * 1103515245u + 12345u;
    data.push_back(static_cast<uint8_t>(seed >> 23));
  }
  data.insert(data.end(), 5000, 0x00);
  data.insert(data.end(), 3000, 0xFF);
  for (int i = 0; i < 2000; ++i)
    for (char c : std::string("the model restarts here. ")) data.push_back(static_cast<uint8_t>(c + (i % 7)));
  return data;
}

// Codes `data` in blocks of `block` bytes through one model and one stream.
std::vector<uint8_t> pack(PpmModel& model, const std::vector<uint8_t>& data, size_t block) {
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  for (size_t pos = 0; pos < data.size(); pos += block)
    model.encode_block(enc, data.data() + pos, std::min(block, data.size() - pos));
  enc.flush();
  return sink.bytes();
}

std::vector<uint8_t> unpack(PpmModel& model, const std::vector<uint8_t>& stream, size_t size, size_t block) {
  std::vector<uint8_t> out(size);
  MemorySource src(stream);
  RangeDecoder dec(src);
  dec.init();
  for (size_t pos = 0; pos < size; pos += block)
    model.decode_block(dec, out.data() + pos, std::min(block, size - pos));
  EXPECT_EQ(src.remaining(), 0u);
  return out;
}

TEST(PpmModelStart, BinaryProbabilitiesStartFromTheirBaseValues) {
  PpmModel model;
  model.start(7, 1u << 20, false);
  const uint16_t row0[] = {8594, 12385, 4897, 7047, 3504, 4770, 3303, 4056};
  const uint16_t row24[] = {16312, 16347, 16278, 16298, 16265, 16277, 16263, 16270};
  for (unsigned j = 0; j < 64; ++j) {
    EXPECT_EQ(model.bin_summ(0, j), row0[j % 8]) << j;
    EXPECT_EQ(model.bin_summ(24, j), row24[j % 8]) << j;
  }
}

TEST(PpmModelStart, EscapeEstimatorsStartPerRow) {
  PpmModel model;
  model.start(3, 1u << 20, false);
  const struct { unsigned row; uint16_t summ; } rows[] = {{0, 56}, {1, 72}, {2, 88}, {3, 120}, {23, 4120}};
  for (const auto& r : rows) {
    for (unsigned k = 0; k < 32; ++k) {
      EXPECT_EQ(model.see2(r.row, k).summ, r.summ) << r.row;
      EXPECT_EQ(model.see2(r.row, k).shift, 3);
      EXPECT_EQ(model.see2(r.row, k).count, 7);
    }
  }
}

TEST(PpmModelStart, RootTakesOneContextAndAFullStateArray) {
  PpmModel model;
  model.start(5, 25u << 20, false);
  EXPECT_EQ(model.allocator().get_used_memory(), 12u + 128u * 12u);
  EXPECT_EQ(model.allocator().hi_unit(), (25u << 20) - 12);
  EXPECT_EQ(model.allocator().lo_unit(), model.allocator().units_start() + 128 * 12);
}

TEST(PpmModelStart, RefusesAStartNoMethodHas) {
  PpmModel model;
  EXPECT_THROW(model.start(0, 1u << 20, false), TarnError);
  EXPECT_THROW(model.start(7, 0, false), TarnError);
}

TEST(PpmModelRoundTrip, EmptyBlockWritesNothing) {
  PpmModel model;
  model.start(7, 1u << 20, false);
  ByteSink sink;
  RangeEncoder enc(sink);
  enc.init();
  model.encode_block(enc, nullptr, 0);
  EXPECT_EQ(sink.size(), 0u);
}

struct TinyHeapCase {
  unsigned order;
  uint32_t heap_bytes;
  bool cut_off;
};

class PpmTinyHeap : public ::testing::TestWithParam<TinyHeapCase> {};

TEST_P(PpmTinyHeap, RoundTripsThroughRepeatedExhaustion) {
  const TinyHeapCase c = GetParam();
  const std::vector<uint8_t> data = varied_data();
  PpmModel encoder;
  encoder.start(c.order, c.heap_bytes, c.cut_off);
  const std::vector<uint8_t> stream = pack(encoder, data, 50000);
  EXPECT_GT(encoder.restarts() + encoder.cut_offs(), 3u);
  if (c.cut_off) {
    EXPECT_GT(encoder.cut_offs(), 0u);
  }
  EXPECT_LT(stream.size(), data.size());

  PpmModel decoder;
  decoder.start(c.order, c.heap_bytes, c.cut_off);
  EXPECT_EQ(unpack(decoder, stream, data.size(), 50000), data);
  EXPECT_EQ(decoder.restarts(), encoder.restarts());
  EXPECT_EQ(decoder.cut_offs(), encoder.cut_offs());
  RecordProperty("restarts", static_cast<int>(encoder.restarts()));
  RecordProperty("cut_offs", static_cast<int>(encoder.cut_offs()));
}

INSTANTIATE_TEST_SUITE_P(RestartAndCutOff, PpmTinyHeap,
                         ::testing::Values(TinyHeapCase{3, 64u << 10, false}, TinyHeapCase{7, 256u << 10, false},
                                           TinyHeapCase{14, 512u << 10, false}, TinyHeapCase{4, 64u << 10, true},
                                           TinyHeapCase{9, 256u << 10, true}, TinyHeapCase{14, 1u << 20, true}),
                         [](const ::testing::TestParamInfo<TinyHeapCase>& info) {
                           return "Order" + std::to_string(info.param.order) + "Heap" +
                                  std::to_string(info.param.heap_bytes >> 10) + "K" +
                                  (info.param.cut_off ? "CutOff" : "Restart");
                         });

TEST(PpmModelRoundTrip, SameSizeRestartReusesTheHeapOnBothSides) {
  // The drivers start each file in a fresh heap; a model started again with
  // the same size keeps its heap, and both sides still agree when they do
  // the same.
  const std::vector<uint8_t> data = varied_data();
  const std::vector<uint8_t> first(data.begin(), data.begin() + 100000);
  const std::vector<uint8_t> second(data.begin() + 100000, data.end());
  PpmModel encoder, decoder;
  encoder.start(6, 128u << 10, true);
  decoder.start(6, 128u << 10, true);
  const uint8_t* heap = encoder.allocator().heap();
  const std::vector<uint8_t> s1 = pack(encoder, first, 30000);
  EXPECT_EQ(unpack(decoder, s1, first.size(), 30000), first);
  encoder.start(6, 128u << 10, true);
  decoder.start(6, 128u << 10, true);
  EXPECT_EQ(encoder.allocator().heap(), heap);
  const std::vector<uint8_t> s2 = pack(encoder, second, 30000);
  EXPECT_EQ(unpack(decoder, s2, second.size(), 30000), second);
}

TEST(PpmModelRoundTrip, DecoderSurvivesGarbage) {
  std::vector<uint8_t> garbage(20000);
  uint32_t seed = 99;
  for (auto& b : garbage) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  for (bool cut : {false, true}) {
    PpmModel model;
    model.start(5, 64u << 10, cut);
    MemorySource src(garbage);
    RangeDecoder dec(src);
    dec.init();
    std::vector<uint8_t> out(100000);
    try {
      for (size_t pos = 0; pos < out.size(); pos += 10000) model.decode_block(dec, out.data() + pos, 10000);
    } catch (const TarnError& e) {
      EXPECT_EQ(e.code(), ErrorCode::UNEXPECTED_EOF);
    }
  }
}

}  // namespace
}  // namespace tarn
