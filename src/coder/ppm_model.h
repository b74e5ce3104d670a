// PPM context model over bytes (placeholder interface; see ppm_model.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder/range_coder.h"

namespace tarn {

class PpmModel {
 public:
  PpmModel();
  ~PpmModel();
  PpmModel(const PpmModel&) = delete;
  PpmModel& operator=(const PpmModel&) = delete;

  // Starts the model with the given maximum order and a heap of heap_bytes
  // (megabytes * 2^20 for the archive methods; tests pass small heaps to
  // force exhaustion). cut_off selects the memory-exhaustion rule.
  // Raises OUT_OF_MEMORY when the heap cannot be obtained.
  void start(unsigned max_order, uint32_t heap_bytes, bool cut_off);

  // Releases the heap; the next start obtains a fresh, zeroed one.
  void stop_suballocator();

  void encode_block(RangeEncoder& coder, const uint8_t* data, size_t length);
  void decode_block(RangeDecoder& coder, uint8_t* data, size_t length);
};

}  // namespace tarn
