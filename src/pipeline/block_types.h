// Block types, filter bits and the sizes of the block work buffer.
#pragma once

#include <cstdint>

namespace tarn {

inline constexpr uint32_t BLOCK_SIZE = 262144;       // largest unfiltered block
inline constexpr uint32_t CHUNK_SIZE = 4194304;      // largest buffer given to compress_buffer
inline constexpr uint32_t MAX_CODED_BLOCK = 524287;  // 19-bit length in the block header
// Room for a block, its filtered copy behind it (filters grow text by at most
// a factor of four in theory), the two bytes the order-0 coder reads behind a
// block and lookahead for the x86 walk.
inline constexpr uint32_t WORK_BUFFER_SIZE = 8 * BLOCK_SIZE + 4096;

// Filter enable mask: a set bit allows the family.
inline constexpr uint8_t FILTER_ALLOW_TEXT = 1;
inline constexpr uint8_t FILTER_ALLOW_EXE = 2;
inline constexpr uint8_t FILTER_ALLOW_MM = 4;
inline constexpr uint8_t FILTER_ALLOW_LOWRED = 8;
inline constexpr uint8_t FILTER_ALLOW_SWAP = 16;
inline constexpr uint8_t FILTER_ALLOW_ALL = 31;

// Block type families: the high nibble names the filter (and so the coder),
// the low nibble is the filter's parameter.
inline constexpr uint8_t BLOCK_PLAIN = 0x00;
inline constexpr uint8_t BLOCK_TEXT = 0x10;
inline constexpr uint8_t BLOCK_EXE = 0x20;
inline constexpr uint8_t BLOCK_STRIDE = 0x30;
inline constexpr uint8_t BLOCK_DELTA = 0x40;
inline constexpr uint8_t BLOCK_LMS = 0x50;
inline constexpr uint8_t BLOCK_LOW_REDUNDANCY = 0x60;

constexpr uint8_t block_family(uint8_t type) { return type & 0xF0; }

// How often each byte value occurs in a block. The x86 and text filters
// decide from the same counts, and the cutting into blocks can hand them on
// for the blocks it counted whole, so a block is counted once for all.
struct ByteCounts {
  uint32_t count[256];
};

}  // namespace tarn
