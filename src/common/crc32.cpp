// Table-driven CRC-32. One byte per step: the low byte of the state xor the
// input byte indexes the table of the polynomial's remainders. Eight bytes
// per step ("slicing"): table k holds the remainder of a byte followed by k
// zero bytes, so the eight lookups of one 64-bit word are independent and
// their xor is the state after all eight bytes.
#include "common/crc32.h"

#include <array>

#include "common/byte_order.h"

namespace tarn {

namespace {

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

CrcTables build_tables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (size_t k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
  return t;
}

const CrcTables& crc_tables() {
  static const CrcTables tables = build_tables();
  return tables;
}

}  // namespace

void Crc32::update(const uint8_t* bytes, size_t count) {
  const CrcTables& t = crc_tables();
  uint32_t c = state_;
  for (; count >= 8; count -= 8, bytes += 8) {
    const uint32_t lo = c ^ load_le32(bytes);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
  }
  for (; count > 0; --count, ++bytes) c = t[0][(c ^ *bytes) & 0xFF] ^ (c >> 8);
  state_ = c;
}

uint32_t crc32_of(const uint8_t* bytes, size_t count) {
  Crc32 crc;
  crc.update(bytes, count);
  return crc.value();
}

}  // namespace tarn
