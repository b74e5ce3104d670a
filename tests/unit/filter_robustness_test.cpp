// Inverse filters on corrupt blocks: any type, any bytes, any length up to
// the largest coded block must stay inside the work buffer (run under the
// sanitizers) and give a length the buffer can hold.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/block_types.h"
#include "pipeline/filters.h"
#include "test_data.h"

namespace tarn {
namespace {

uint32_t undo(std::vector<uint8_t>& work, uint32_t length, uint8_t type, uint32_t stream_position = 0) {
  undo_block_filter(work.data(), length, type, stream_position);
  EXPECT_LE(length, WORK_BUFFER_SIZE) << "type " << int{type};
  return length;
}

TEST(FilterRobustness, UndoOfEveryTypeOnRandomBytesStaysInBounds) {
  std::vector<uint8_t> work(WORK_BUFFER_SIZE);
  testdata::Lcg rng(2024);
  const uint32_t lengths[] = {0, 1, 2, 5, 6, 7, 100, 4095, 65537, MAX_CODED_BLOCK};
  for (uint32_t type = 0x10; type < 0x60; ++type) {
    for (uint32_t n : lengths) {
      if (n > 70000 && type % 5 != 0) continue;  // keep the run short
      for (uint32_t i = 0; i < n + 8; ++i) work[i] = rng.byte();
      undo(work, n, static_cast<uint8_t>(type), rng.next() * 256);
    }
  }
}

TEST(FilterRobustness, WorstCaseBlocksOfEachFilterStayInBounds) {
  // Text: four-letter dictionary codes (or random bytes) and a lone escape at the end.
  std::vector<uint8_t> work(WORK_BUFFER_SIZE);
  testdata::Lcg rng(99);
  for (uint8_t type = 0x10; type <= 0x1F; ++type) {
    for (uint32_t i = 0; i < MAX_CODED_BLOCK; ++i) work[i] = (type & 1) ? rng.byte() : 0xCE;
    work[MAX_CODED_BLOCK - 1] = 0x04;
    undo(work, MAX_CODED_BLOCK, type);
  }
  // x86: prefixes only; the padding comes off, and a block shorter than it is empty.
  std::vector<uint8_t> prefixes(WORK_BUFFER_SIZE, 0x66);
  EXPECT_EQ(undo(prefixes, MAX_CODED_BLOCK, BLOCK_EXE), MAX_CODED_BLOCK - 6);
  EXPECT_EQ(undo(prefixes, 3, BLOCK_EXE), 0u);
  // Model 2 with the largest stride keeps its length.
  std::vector<uint8_t> flat(WORK_BUFFER_SIZE, 0x5A);
  EXPECT_EQ(undo(flat, MAX_CODED_BLOCK, 0x5F), MAX_CODED_BLOCK);
}

}  // namespace
}  // namespace tarn
