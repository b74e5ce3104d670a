// The order-0 coder's decoder and the inverse sort transform. Input: one
// byte (bit 0 clear: sorted blocks, as of type 4, whose decoded bytes then
// go through the inverse sort; set: type 5), two block lengths (2 bytes
// each), then the coded bytes. Blocks are decoded into a work buffer of
// WORK_BUFFER_SIZE bytes, two bytes of tail behind each as the pipeline
// codes them; the table carries over between the blocks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "coder/byte_io.h"
#include "coder/order0_coder.h"
#include "coder/range_coder.h"
#include "common/error.h"
#include "fuzz_support.h"
#include "pipeline/block_types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const bool sorted = (params.take(1) & 1) == 0;
  const uint32_t lengths[2] = {params.take(2), params.take(2)};
  tarn::MemorySource in(params.rest(), params.rest_size());
  static std::vector<uint8_t> work(tarn::WORK_BUFFER_SIZE);
  tarn::Order0Coder coder0;
  tarn::SortTransform sort;
  try {
    tarn::RangeDecoder coder(in);
    coder.init();
    for (uint32_t length : lengths) {
      std::fill(work.begin(), work.begin() + length + 2, uint8_t{0});
      coder0.order0_decode(coder, work.data(), length + 2);
      if (sorted && length > 0) sort.inverse(work.data(), length);
    }
  } catch (const tarn::TarnError&) {
  }
  return 0;
}
