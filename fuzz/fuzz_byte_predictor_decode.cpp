// The predicted-byte decoder (block type 0x60). Input: two block lengths
// (2 bytes each), then the coded bytes; the table carries over.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "coder/byte_io.h"
#include "coder/byte_predictor.h"
#include "coder/range_coder.h"
#include "common/error.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const uint32_t lengths[2] = {params.take(2), params.take(2)};
  tarn::MemorySource in(params.rest(), params.rest_size());
  tarn::BytePredictor predictor;
  std::vector<uint8_t> out;
  try {
    tarn::RangeDecoder coder(in);
    coder.init();
    for (uint32_t length : lengths) {
      out.assign(length, 0);
      predictor.decode(coder, out.data(), length);
    }
  } catch (const tarn::TarnError&) {
  }
  return 0;
}
