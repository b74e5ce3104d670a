// Little-endian loads and stores of unaligned 16- and 32-bit values: the
// model's heap records, the prepass's context hash, the text filter's letter
// groups and the checksum all read bytes in this order on every platform.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarn {

inline uint16_t load_le16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  if constexpr (std::endian::native == std::endian::big) v = static_cast<uint16_t>((v >> 8) | (v << 8));
  return v;
}

inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big)
    v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
  return v;
}

inline void store_le16(uint8_t* p, uint16_t v) {
  if constexpr (std::endian::native == std::endian::big) v = static_cast<uint16_t>((v >> 8) | (v << 8));
  std::memcpy(p, &v, 2);
}

inline void store_le32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big)
    v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
  std::memcpy(p, &v, 4);
}

}  // namespace tarn
