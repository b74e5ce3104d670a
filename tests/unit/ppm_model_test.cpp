// The PPM model beyond the golden streams: exhausting tiny heaps at many
// orders (restart and cut-off), a second start in the same heap.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coder/ppm_model.h"
#include "test_data.h"

namespace tarn {
namespace {

// Text, a fax image, noise, runs and a repeated phrase, back to back.
std::vector<uint8_t> varied_data() {
  std::vector<uint8_t> data = testdata::data_bytes("canterbury/alice29.txt");
  data.resize(90000);
  const std::vector<uint8_t> fax = testdata::data_bytes("canterbury/ptt5");
  data.insert(data.end(), fax.begin(), fax.begin() + 60000);
  const std::vector<uint8_t> noise = testdata::random_bytes(40000, 7);
  data.insert(data.end(), noise.begin(), noise.end());
  data.insert(data.end(), 5000, 0x00);
  data.insert(data.end(), 3000, 0xFF);
  for (int i = 0; i < 2000; ++i)
    for (char c : std::string("the model restarts here. ")) data.push_back(static_cast<uint8_t>(c + (i % 7)));
  return data;
}

// Codes `data` in blocks of `block` bytes through one model and one stream.
std::vector<uint8_t> pack(PpmModel& model, const std::vector<uint8_t>& data, size_t block) {
  return testdata::encode_stream([&](RangeEncoder& enc) {
    for (size_t pos = 0; pos < data.size(); pos += block)
      model.encode_block(enc, data.data() + pos, std::min(block, data.size() - pos));
  });
}

std::vector<uint8_t> unpack(PpmModel& model, const std::vector<uint8_t>& stream, size_t size, size_t block) {
  std::vector<uint8_t> out(size);
  EXPECT_EQ(testdata::decode_stream(stream,
                                    [&](RangeDecoder& dec) {
                                      for (size_t pos = 0; pos < size; pos += block)
                                        model.decode_block(dec, out.data() + pos, std::min(block, size - pos));
                                    }),
            0u);
  return out;
}

TEST(PpmModelStart, RefusesAStartNoMethodHasAndAnEmptyBlockWritesNothing) {
  PpmModel model;
  EXPECT_THROW(model.start(0, 1u << 20, false), TarnError);
  EXPECT_THROW(model.start(7, 0, false), TarnError);
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
  EXPECT_TRUE(!c.cut_off || encoder.cut_offs() > 0);
  EXPECT_LT(stream.size(), data.size());

  PpmModel decoder;
  decoder.start(c.order, c.heap_bytes, c.cut_off);
  EXPECT_EQ(unpack(decoder, stream, data.size(), 50000), data);
  EXPECT_EQ(decoder.restarts(), encoder.restarts());
  EXPECT_EQ(decoder.cut_offs(), encoder.cut_offs());
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

TEST(PpmCutOff, ExhaustionWithLessThanHalfTheHeapInUseRestarts) {
  // Random bytes fill the text area while the units fill less than half of
  // the heap: the cut-off method then restarts at every exhaustion, exactly
  // as the restart method does.
  const std::vector<uint8_t> noise = testdata::random_bytes(300000, 9);
  PpmModel cut, restart;
  cut.start(4, 1u << 20, true);
  restart.start(4, 1u << 20, false);
  const std::vector<uint8_t> stream = pack(cut, noise, 50000);
  EXPECT_EQ(stream, pack(restart, noise, 50000));
  EXPECT_GT(cut.restarts(), 3u);
  EXPECT_EQ(cut.restarts(), restart.restarts());
  EXPECT_EQ(cut.cut_offs(), 0u);
}

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

}  // namespace
}  // namespace tarn
