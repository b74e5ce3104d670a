// Every inverse filter on a coded block in a work buffer of exactly
// WORK_BUFFER_SIZE bytes (so that AddressSanitizer sees any step past it).
// Input: block type (1 byte), stream position (4), length (3; 0 means the
// payload's own length, otherwise the block is the payload repeated up to
// that length, at most the largest coded block), then the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "pipeline/block_types.h"
#include "pipeline/filters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const auto type = static_cast<uint8_t>(params.take(1));
  const uint32_t position = params.take(4);
  const uint32_t declared = params.take(3) % (tarn::MAX_CODED_BLOCK + 1);
  const uint8_t* payload = params.rest();
  const size_t payload_size = std::min<size_t>(params.rest_size(), tarn::MAX_CODED_BLOCK);
  uint32_t length = declared != 0 ? declared : static_cast<uint32_t>(payload_size);
  if (payload_size == 0) length = 0;

  static std::vector<uint8_t> work(tarn::WORK_BUFFER_SIZE);
  std::fill(work.begin(), work.end(), uint8_t{0});
  for (uint32_t i = 0; i < length; i += static_cast<uint32_t>(payload_size)) {
    std::copy_n(payload, std::min<size_t>(payload_size, length - i), work.data() + i);
  }
  tarn::undo_block_filter(work.data(), length, type, position);
  if (length > tarn::WORK_BUFFER_SIZE) std::abort();
  return 0;
}
