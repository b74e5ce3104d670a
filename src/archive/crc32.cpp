// Table-driven CRC-32, one byte per step: the low byte of the state xor the
// input byte indexes the table of the polynomial's remainders.
#include "archive/crc32.h"

#include <array>

namespace tarn {

namespace {

std::array<uint32_t, 256> build_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

const std::array<uint32_t, 256>& crc_table() {
  static const std::array<uint32_t, 256> table = build_table();
  return table;
}

}  // namespace

void Crc32::update(const uint8_t* bytes, size_t count) {
  const auto& table = crc_table();
  uint32_t c = state_;
  for (size_t i = 0; i < count; ++i) c = table[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
  state_ = c;
}

uint32_t crc32_of(const uint8_t* bytes, size_t count) {
  Crc32 crc;
  crc.update(bytes, count);
  return crc.value();
}

}  // namespace tarn
