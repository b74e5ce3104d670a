// Inverse filters on corrupt blocks: any type, any bytes, any length up to
// the largest coded block must stay inside the work buffer (run under the
// sanitizers) and give a length the buffer can hold.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filters.h"

namespace tarn {
namespace {

TEST(FilterRobustness, UndoOfEveryTypeOnRandomBytesStaysInBounds) {
  std::vector<uint8_t> work(WORK_BUFFER_SIZE);
  uint32_t seed = 2024;
  const uint32_t lengths[] = {0, 1, 2, 5, 6, 7, 100, 4095, 65537, MAX_CODED_BLOCK};
  for (uint32_t type = 0x10; type < 0x60; ++type) {
    for (uint32_t n : lengths) {
      if (n > 70000 && type % 5 != 0) continue;  // keep the run short
      for (uint32_t i = 0; i < n + 8; ++i) {
        seed = seed * 1103515245u + 12345u;
        work[i] = static_cast<uint8_t>(seed >> 24);
      }
      uint32_t length = n;
      switch (type >> 4) {
        case 1: undo_text_filter(work.data(), length, static_cast<uint8_t>(type)); break;
        case 2: undo_exe_filter(work.data(), length, seed); break;
        default: undo_stride_and_mm_filters(work.data(), length, static_cast<uint8_t>(type)); break;
      }
      EXPECT_LE(length, WORK_BUFFER_SIZE);
    }
  }
}

}  // namespace
}  // namespace tarn
