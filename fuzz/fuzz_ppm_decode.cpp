// The PPM decoder on arbitrary range-coded bytes, with small heaps so that
// restarts and cut-offs happen within a few kilobytes. Input: order (1..15)
// and memory rule (1 byte), heap size 4 KiB << (0..8) (1 byte), the length
// of each of two blocks (2 bytes each), then the coded bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "coder/byte_io.h"
#include "coder/ppm_model.h"
#include "coder/range_coder.h"
#include "common/error.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const uint32_t mode = params.take(1);
  const unsigned order = 1 + mode % 15;
  const bool cut_off = (mode & 0x80) != 0;
  const uint32_t heap = 4096u << (params.take(1) % 9);
  const uint32_t lengths[2] = {params.take(2), params.take(2)};
  tarn::MemorySource in(params.rest(), params.rest_size());
  static tarn::PpmModel model;
  std::vector<uint8_t> out;
  try {
    model.start(order, heap, cut_off);
    tarn::RangeDecoder coder(in);
    coder.init();
    for (uint32_t length : lengths) {
      out.assign(length, 0);
      model.decode_block(coder, out.data(), out.size());
    }
  } catch (const tarn::TarnError&) {
  }
  return 0;
}
