// Constant tables of the PPM model, computed at compile time.
//
// The allocator hands out blocks whose sizes come from a fixed ladder of 38
// unit counts (1..4, then steps of 2 up to 12, steps of 3 up to 24, steps of
// 4 up to 128); UNITS_TO_INDEX maps a request of n units to the smallest
// rung that holds it. QUANT_TABLE quantises frequencies and symbol counts
// into the rows of the binary-context and escape-estimator tables: small
// values keep their own row, larger ones share rows that widen by one each
// time. All tables are immutable; the model only reads them.
#pragma once

#include <array>
#include <cstdint>

namespace tarn::ppm_tables {

inline constexpr int N_INDEXES = 38;
inline constexpr uint32_t MAX_UNITS = 128;

constexpr std::array<uint8_t, N_INDEXES> make_index_to_units() {
  std::array<uint8_t, N_INDEXES> t{};
  int i = 0;
  unsigned k = 1;
  for (; i < 4; ++i, k += 1) t[i] = static_cast<uint8_t>(k);
  for (k += 1; i < 8; ++i, k += 2) t[i] = static_cast<uint8_t>(k);
  for (k += 1; i < 12; ++i, k += 3) t[i] = static_cast<uint8_t>(k);
  for (k += 1; i < N_INDEXES; ++i, k += 4) t[i] = static_cast<uint8_t>(k);
  return t;
}
inline constexpr std::array<uint8_t, N_INDEXES> INDEX_TO_UNITS = make_index_to_units();
static_assert(INDEX_TO_UNITS[4] == 6 && INDEX_TO_UNITS[8] == 15 && INDEX_TO_UNITS[12] == 28);
static_assert(INDEX_TO_UNITS[N_INDEXES - 1] == MAX_UNITS);

constexpr std::array<uint8_t, MAX_UNITS> make_units_to_index() {
  std::array<uint8_t, MAX_UNITS> t{};
  int i = 0;
  for (unsigned k = 0; k < MAX_UNITS; ++k) {
    while (INDEX_TO_UNITS[i] < k + 1) ++i;
    t[k] = static_cast<uint8_t>(i);
  }
  return t;
}
inline constexpr std::array<uint8_t, MAX_UNITS> UNITS_TO_INDEX = make_units_to_index();

constexpr std::array<uint8_t, 256> make_ns_to_bs_index() {
  std::array<uint8_t, 256> t{};
  t[0] = 0;
  t[1] = 2;
  for (int i = 2; i <= 10; ++i) t[i] = 4;
  for (int i = 11; i < 256; ++i) t[i] = 6;
  return t;
}
inline constexpr std::array<uint8_t, 256> NS_TO_BS_INDEX = make_ns_to_bs_index();

// 260 entries: read at num_stats + 2.
constexpr std::array<uint8_t, 260> make_quant_table() {
  std::array<uint8_t, 260> t{};
  int i = 0;
  for (; i < 5; ++i) t[i] = static_cast<uint8_t>(i);
  for (int value = 5, run = 1; i < 260; ++value, ++run)
    for (int r = 0; r < run && i < 260; ++r) t[i++] = static_cast<uint8_t>(value);
  return t;
}
inline constexpr std::array<uint8_t, 260> QUANT_TABLE = make_quant_table();
static_assert(QUANT_TABLE[5] == 5 && QUANT_TABLE[6] == 6 && QUANT_TABLE[7] == 6 && QUANT_TABLE[259] == 27);
static_assert(QUANT_TABLE[195] == 24 && QUANT_TABLE[256] == 26);

inline constexpr std::array<uint8_t, 16> EXP_ESCAPE = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};
inline constexpr std::array<uint16_t, 8> INIT_BIN_ESC = {15581, 7999, 22975, 18675,
                                                         25761, 23228, 26162, 24657};

}  // namespace tarn::ppm_tables
