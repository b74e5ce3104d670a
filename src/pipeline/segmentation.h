// Cutting a buffer into blocks: segments where the byte statistics change,
// then blocks of at most BLOCK_SIZE bytes within each segment.
//
// Two 4096-byte histograms slide over the buffer, one over the bytes before
// position i and one over the bytes from i on; their distance (the sum of
// absolute count differences, 0 to 8192) is updated with three counter
// changes per byte. For every 4096-byte window of positions the earliest
// position with the largest distance is remembered. Windows whose best
// distance exceeds 4000 become cut points, in window order, when the cut lies
// more than 5120 bytes after the previous one. Window 0 never cuts, and
// buffers below 12,288 bytes are one block as they are.
#pragma once

#include <cstdint>
#include <vector>

#include "pipeline/block_types.h"

namespace tarn {

struct BlockSpan {
  uint32_t offset = 0;
  uint32_t length = 0;
  bool operator==(const BlockSpan&) const = default;
};

inline constexpr uint32_t SEGMENT_MIN_BUFFER = 12288;
inline constexpr uint32_t SEGMENT_WINDOW = 4096;
inline constexpr int32_t SEGMENT_CUT_DISTANCE = 4000;
inline constexpr int32_t SEGMENT_MIN_GAP = 5120;

// Appends the blocks of data[0, n) in coding order. With `region_counts`,
// also gives the byte counts of every BLOCK_SIZE stretch of the buffer
// from its start (the last one shorter), when the buffer is long enough to
// be cut at all, and leaves it empty otherwise. Blocks that start at the
// start of a stretch and end at its end have these counts.
void segment_buffer(const uint8_t* data, uint32_t n, std::vector<BlockSpan>& blocks,
                    std::vector<ByteCounts>* region_counts = nullptr);

// Appends the blocks of [start, end): BLOCK_SIZE each, the last one shorter.
void split_segment(uint32_t start, uint32_t end, std::vector<BlockSpan>& blocks);

}  // namespace tarn
