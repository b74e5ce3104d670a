// Any input packs and unpacks to itself. Byte 0 picks the method (bits 0-2,
// its order and memory rule) and switches filters off (bits 3-7: text, exe,
// multimedia, low-redundancy test, stride); byte 1 says where the input is
// split into two chunks of one stream. The model gets a 1 MiB heap, so
// long inputs also cover restarts and cut-offs. Empty chunks are left out,
// as the drivers never code one (its block header would stay unread).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "archive/format.h"
#include "coder/byte_io.h"
#include "fuzz_support.h"
#include "pipeline/block_pipeline.h"

namespace {

void start(tarn::BlockPipeline& pipeline, uint8_t method, uint8_t off) {
  pipeline.start_stream({method, static_cast<uint8_t>(tarn::FILTER_ALLOW_ALL & ~off)}, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const uint32_t mode = params.take(1);
  const auto method = static_cast<uint8_t>(1 + (mode & 7) % tarn::METHOD_EXTREME);
  const auto off = static_cast<uint8_t>(mode >> 3);
  const size_t split = params.rest_size() * params.take(1) / 256;
  const std::vector<uint8_t> input(params.rest(), params.rest() + params.rest_size());
  const std::vector<uint8_t> first(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(split));
  const std::vector<uint8_t> second(input.begin() + static_cast<std::ptrdiff_t>(split), input.end());

  tarn::ByteSink packed;
  {
    tarn::BlockPipeline encoder;
    start(encoder, method, off);
    if (!first.empty()) encoder.compress_buffer(first, packed);
    if (!second.empty()) encoder.compress_buffer(second, packed);
    encoder.stop_suballocator();
  }
  tarn::BlockPipeline decoder;
  start(decoder, method, 0);  // unpacking always has every filter on
  tarn::MemorySource in(packed.bytes());
  if ((!first.empty() && decoder.decode_buffer(in) != first) ||
      (!second.empty() && decoder.decode_buffer(in) != second) || in.remaining() != 0) {
    std::abort();
  }
  decoder.stop_suballocator();
  return 0;
}
