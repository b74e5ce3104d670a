// Table-driven CRC-32. One byte per step: the low byte of the state xor the
// input byte indexes the table of the polynomial's remainders. Eight bytes
// per step ("slicing"): table k holds the remainder of a byte followed by k
// zero bytes, so the eight lookups of one 64-bit word are independent and
// their xor is the state after all eight bytes.
//
// Where the processor multiplies without carries (x86 with the PCLMUL
// extension, asked at run time), long inputs are folded instead. The bytes
// are polynomial coefficients, and four 128-bit accumulators hold
// polynomials congruent, modulo the CRC polynomial P, to the input so far,
// each in its own 16-byte lane of every 64 bytes. Moving an accumulator A
// 64 bytes on means A * x^512 mod P plus the next 16 bytes; with A = H x^64
// + L (the first eight bytes are H, as the bit order is reflected) that is
// H * (x^576 mod P) + L * (x^512 mod P), two 64 by 32-bit products. At the
// end the four are folded into one the same way, 16 bytes at a time, and
// the table pass over its 16 bytes from state 0 gives the state: a value
// congruent to the input modulo P has the input's CRC state.
#include "common/crc32.h"

#include <array>

#include "common/byte_order.h"
#include "common/cpu_features.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TARN_CRC_FOLD 1
#else
#define TARN_CRC_FOLD 0
#endif

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

uint32_t table_update(const CrcTables& t, uint32_t c, const uint8_t* bytes, size_t count) {
  for (; count >= 8; count -= 8, bytes += 8) {
    const uint32_t lo = c ^ load_le32(bytes);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
  }
  for (; count > 0; --count, ++bytes) c = t[0][(c ^ *bytes) & 0xFF] ^ (c >> 8);
  return c;
}

#if TARN_CRC_FOLD

// Below this many bytes the tables are as quick.
constexpr size_t MIN_FOLD = 256;

// The constants x^k mod P for a product that the reflected multiplication
// returns one place along, so x^(k - 1) mod P, in the upper half of a
// 64-bit lane: the coefficient of x^d is bit 63 - d.
struct FoldConstants {
  uint64_t by64_high = 0x653D982200000000u;  // x^575 mod P
  uint64_t by64_low = 0xCAD38E8F00000000u;   // x^511 mod P
  uint64_t by16_high = 0x65673B4600000000u;  // x^191 mod P
  uint64_t by16_low = 0x9BA54C6F00000000u;   // x^127 mod P
};

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i a, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), next);
}

__attribute__((target("pclmul,sse2"))) inline __m128i load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The state after `*count` bytes rounded down to whole 64-byte steps, at
// least MIN_FOLD of them; moves bytes and count past them.
__attribute__((target("pclmul,sse2"))) uint32_t fold_update(const CrcTables& t, uint32_t c,
                                                           const uint8_t*& bytes, size_t& count) {
  constexpr FoldConstants K;
  const __m128i by64 = _mm_set_epi64x(static_cast<long long>(K.by64_low), static_cast<long long>(K.by64_high));
  const __m128i by16 = _mm_set_epi64x(static_cast<long long>(K.by16_low), static_cast<long long>(K.by16_high));
  __m128i a0 = _mm_xor_si128(load16(bytes), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i a1 = load16(bytes + 16);
  __m128i a2 = load16(bytes + 32);
  __m128i a3 = load16(bytes + 48);
  const uint8_t* p = bytes + 64;
  size_t left = count - 64;
  for (; left >= 64; left -= 64, p += 64) {
    a0 = fold(a0, by64, load16(p));
    a1 = fold(a1, by64, load16(p + 16));
    a2 = fold(a2, by64, load16(p + 32));
    a3 = fold(a3, by64, load16(p + 48));
  }
  a1 = fold(a0, by16, a1);
  a2 = fold(a1, by16, a2);
  a3 = fold(a2, by16, a3);
  alignas(16) uint8_t last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), a3);
  bytes = p;
  count = left;
  return table_update(t, 0, last, 16);
}

#endif

}  // namespace

void Crc32::update(const uint8_t* bytes, size_t count) {
  const CrcTables& t = crc_tables();
  uint32_t c = state_;
#if TARN_CRC_FOLD
  if (count >= MIN_FOLD && cpu_has_pclmul()) c = fold_update(t, c, bytes, count);
#endif
  state_ = table_update(t, c, bytes, count);
}

uint32_t crc32_of(const uint8_t* bytes, size_t count) {
  Crc32 crc;
  crc.update(bytes, count);
  return crc.value();
}

}  // namespace tarn
