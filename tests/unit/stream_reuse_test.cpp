// Pipelines and model heaps handed from one stream to the next: whatever
// the previous stream did (restarts, cut-offs, other methods, filters), the
// next one must code exactly as on a new pipeline and a fresh heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "stream/stream_codec.h"
#include "coder/ppm_model.h"
#include "test_data.h"

namespace tarn {
namespace {

bool heap_is_zero(const PpmModel& model) {
  const SubAllocator& a = model.allocator();
  const uint8_t* heap = a.heap();
  return std::all_of(heap, heap + a.heap_size() + UNIT_SIZE, [](uint8_t b) { return b == 0; });
}

std::vector<uint8_t> encode(PpmModel& model, const std::vector<uint8_t>& data) {
  return testdata::encode_stream([&](RangeEncoder& enc) { model.encode_block(enc, data.data(), data.size()); });
}

// Tiny heaps run out again and again, so restarts and cut-offs move every
// bound of the allocator (text area, both ends of the unit area) to and fro.
TEST(StreamReuse, AKeptHeapIsZeroAgainAndCodesLikeAFreshOne) {
  std::vector<uint8_t> text = testdata::data_bytes("canterbury/alice29.txt");
  text.resize(60000);
  const std::vector<std::vector<uint8_t>> streams = {text, testdata::mixed_bytes(50000, 3),
                                                     testdata::random_bytes(20000, 9), text};
  for (const bool cut_off : {false, true}) {
    for (const uint32_t heap : {1u << 16, 1u << 18, 1u << 22}) {
      PpmModel kept;
      for (size_t k = 0; k < streams.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "cut_off " << cut_off << " heap " << heap << " stream " << k);
        kept.start(k % 2 == 0 ? 6 : 12, heap, cut_off);
        const std::vector<uint8_t> reused = encode(kept, streams[k]);
        kept.keep_heap_for_next_stream();
        ASSERT_TRUE(heap_is_zero(kept));

        PpmModel fresh;
        fresh.start(k % 2 == 0 ? 6 : 12, heap, cut_off);
        EXPECT_EQ(reused, encode(fresh, streams[k]));
      }
    }
  }
}

std::vector<uint8_t> pack(StreamCodec& codec, const std::vector<uint8_t>& data) {
  ByteSink sink;
  codec.compress_chunk(data, sink);
  return sink.bytes();
}

// Whole pipelines from a pool, across methods and filter choices, packing
// and unpacking in turn; a stream that fails leaves no trace either.
TEST(StreamReuse, PooledPipelinesCodeEveryStreamLikeNewOnes) {
  std::vector<uint8_t> text = testdata::data_bytes("canterbury/lcet10.txt");
  text.resize(300000);
  const std::vector<uint8_t> binary = testdata::data_bytes("canterbury/kennedy.xls");
  struct Stream {
    const std::vector<uint8_t>* data;
    CodingOptions setup;
  };
  const CodingOptions no_filters{2, 0};
  const CodingOptions extreme{6, FILTER_ALLOW_ALL};
  const std::vector<Stream> streams = {{&text, CodingOptions{}}, {&binary, CodingOptions{}}, {&text, no_filters},
                                       {&binary, extreme},       {&text, extreme},           {&text, CodingOptions{}}};

  PipelinePool pool;
  for (size_t k = 0; k < streams.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "stream " << k);
    const Stream& s = streams[k];
    std::vector<uint8_t> expected;
    {
      StreamCodec fresh(s.setup);
      expected = pack(fresh, *s.data);
    }
    {
      StreamCodec pooled(s.setup, &pool);
      EXPECT_EQ(pack(pooled, *s.data), expected);
      pooled.finish();
    }
    {
      StreamCodec pooled(s.setup, &pool);
      MemorySource in(expected);
      EXPECT_EQ(pooled.decode_chunk(in), *s.data);
      pooled.finish();
    }
    if (k == 2) {  // a damaged stream, then the pool must still hand out clean pipelines
      std::vector<uint8_t> damaged = expected;
      for (size_t i = 40; i < damaged.size(); i += 97) damaged[i] ^= 0x5A;
      try {
        StreamCodec pooled(s.setup, &pool);
        MemorySource in(damaged);
        pooled.decode_chunk(in);
        pooled.finish();  // wrong bytes, but an ended stream: its pipeline is reused
      } catch (const TarnError&) {
      }
    }
  }
}

}  // namespace
}  // namespace tarn
