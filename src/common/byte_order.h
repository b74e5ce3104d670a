// Loads and stores of unaligned 16-, 24- and 32-bit values in a fixed byte
// order, whatever the host's: little-endian for the model's heap records,
// the prepass's context hash, the text filter's letter groups, the checksum
// and the archive header; big-endian for the file-table records and the x86
// filter's absolute call targets.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarn {

namespace byte_order_detail {

inline uint16_t swap_bytes(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
inline uint32_t swap_bytes(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// One unaligned access and, on a host of the other order, one swap.
template <class T, std::endian ORDER>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native != ORDER) v = swap_bytes(v);
  return v;
}

template <std::endian ORDER, class T>
void store(uint8_t* p, T v) {
  if constexpr (std::endian::native != ORDER) v = swap_bytes(v);
  std::memcpy(p, &v, sizeof v);
}

}  // namespace byte_order_detail

inline uint16_t load_le16(const uint8_t* p) { return byte_order_detail::load<uint16_t, std::endian::little>(p); }
inline uint32_t load_le32(const uint8_t* p) { return byte_order_detail::load<uint32_t, std::endian::little>(p); }
inline uint64_t load_le64(const uint8_t* p) { return load_le32(p) | static_cast<uint64_t>(load_le32(p + 4)) << 32; }
inline uint16_t load_be16(const uint8_t* p) { return byte_order_detail::load<uint16_t, std::endian::big>(p); }
inline uint32_t load_be32(const uint8_t* p) { return byte_order_detail::load<uint32_t, std::endian::big>(p); }

inline void store_le16(uint8_t* p, uint16_t v) { byte_order_detail::store<std::endian::little>(p, v); }
inline void store_le32(uint8_t* p, uint32_t v) { byte_order_detail::store<std::endian::little>(p, v); }
inline void store_be16(uint8_t* p, uint16_t v) { byte_order_detail::store<std::endian::big>(p, v); }
inline void store_be32(uint8_t* p, uint32_t v) { byte_order_detail::store<std::endian::big>(p, v); }

// Three bytes, the first the least significant (reads no fourth byte).
inline uint32_t load_le24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}

}  // namespace tarn
