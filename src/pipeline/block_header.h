// The block header inside a chunk stream: three raw values of uniform
// probability through the range coder, the block type (8 bits), then the
// filtered block length's low 14 bits and its high 5 bits. Coded lengths are
// therefore at most 524,287 bytes.
#pragma once

#include <cstdint>

#include "coder/range_coder.h"

namespace tarn {

inline constexpr unsigned BLOCK_TYPE_BITS = 8;
inline constexpr unsigned BLOCK_LENGTH_LOW_BITS = 14;
inline constexpr unsigned BLOCK_LENGTH_HIGH_BITS = 5;

struct BlockHeader {
  uint8_t type = 0;
  uint32_t length = 0;
};

void write_block_header(RangeEncoder& coder, uint8_t type, uint32_t length);

// Raises HEADER_DAMAGE when a decoded count lies outside its field (only a
// damaged stream gives one).
BlockHeader read_block_header(RangeDecoder& coder);

}  // namespace tarn
