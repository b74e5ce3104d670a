// Cost measures shared by the multimedia decision, the low-redundancy test
// and the ordering of solid groups.
//
// The move-to-front cost of a byte string is the average position, in a short
// list of the most recently seen distinct byte values, of the bytes that are
// not a repeat of the byte before them; a byte missing from the list counts
// as the list length. Repeats are only counted. Random data scores close to
// the list length, predictable data far below it. The list starts as
// 0, 1, 2, ..., so a leading 0x00 is a repeat.
//
// The context-sorted cost applies such a measure to the bytes reordered by
// their two preceding bytes (read cyclically), which tells how well an
// order-2 context predicts them. The order is a stable bucket sort on the
// 16-bit context, x[2..n-1] placed first, then x[0] and x[1].
#include <bit>
#include <cstdint>
#include <new>
#include <vector>

#include "common/error.h"
#include "pipeline/filters.h"

namespace tarn {

namespace {

// The list is held in registers: entry k in bits 8k..8k+7 of a 64-bit lane,
// eight entries a lane. A byte is found with the zero-byte test (the lowest
// flagged byte is exact), and moving it to the front is one shift under a
// mask, so a step costs a few instructions instead of a scan and a copy.
constexpr uint64_t LANE_ONES = 0x0101010101010101u;
constexpr uint64_t LANE_HIGHS = 0x8080808080808080u;

// Position (0..7) of the first entry equal to x, or 8.
inline uint32_t lane_find(uint64_t lane, uint8_t x) {
  const uint64_t v = lane ^ (LANE_ONES * x);
  const uint64_t zero = (v - LANE_ONES) & ~v & LANE_HIGHS;
  return zero == 0 ? 8u : static_cast<uint32_t>(std::countr_zero(zero)) / 8;
}

// The entries below position k (k in 0..8).
inline uint64_t lane_below(uint32_t k) { return k >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * k)) - 1; }

// Removes the entry at position j (8 = none: the last entry falls off) and
// puts `front` at position 0.
inline uint64_t lane_move(uint64_t lane, uint32_t j, uint8_t front) {
  return ((lane & lane_below(j)) << 8) | (lane & ~lane_below(j + 1)) | front;
}

// The 16-entry list's first eight entries move exactly as the 8-entry list
// does (a byte missing from them goes to the front and the eighth falls
// behind), so one pass gives both costs: a byte the 8-entry list misses
// counts 8 there.
template <uint32_t list_size>
double mtf_cost(const uint8_t* bytes, uint32_t length, uint32_t* repeats, double* cost8 = nullptr) {
  static_assert(list_size == 8 || list_size == 16);
  uint64_t lo = 0x0706050403020100u;  // entries 0..7
  uint64_t hi = 0x0F0E0D0C0B0A0908u;  // entries 8..15 (16-entry list only)
  uint64_t position_sum = 0;
  uint64_t position_sum8 = 0;
  uint32_t coded = 0;
  uint32_t repeat_count = 0;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t x = bytes[i];
    uint32_t j = lane_find(lo, x);
    if (j == 0) {
      ++repeat_count;
      continue;
    }
    ++coded;
    if (j < 8) {
      lo = lane_move(lo, j, x);
    } else {
      if constexpr (list_size == 16) {
        j = 8 + lane_find(hi, x);
        hi = lane_move(hi, j - 8, static_cast<uint8_t>(lo >> 56));
      }
      lo = (lo << 8) | x;
    }
    position_sum += j;
    if constexpr (list_size == 16) position_sum8 += j < 8 ? j : 8;
  }
  if (repeats) *repeats = repeat_count;
  if (cost8) *cost8 = coded == 0 ? 0.0 : static_cast<double>(position_sum8) / static_cast<double>(coded);
  return coded == 0 ? 0.0 : static_cast<double>(position_sum) / static_cast<double>(coded);
}

}  // namespace

double mtf_cost16(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  return mtf_cost<16>(bytes, length, repeats);
}

double mtf_cost16(const uint8_t* bytes, uint32_t length, uint32_t* repeats, double* cost8) {
  return mtf_cost<16>(bytes, length, repeats, cost8);
}

double mtf_cost8(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  return mtf_cost<8>(bytes, length, repeats);
}

double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure) {
  SortScratch scratch;
  return context_sorted_cost(bytes, length, measure, scratch);
}

double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure,
                           SortScratch& scratch) {
  if (length < 2) return measure(bytes, length, nullptr);  // one byte: measured as it is
  const uint32_t n = length;
  std::vector<uint32_t>& bucket_start = scratch.bucket_start;
  std::vector<uint8_t>& sorted = scratch.sorted;
  try {
    bucket_start.assign(65536, 0);
    if (sorted.size() < n) sorted.resize(n);
  } catch (const std::bad_alloc&) {
    raise_error(ErrorCode::OUT_OF_MEMORY);
  }
  auto context = [bytes](uint32_t one_back, uint32_t two_back) {
    return uint32_t{bytes[one_back]} * 256 + bytes[two_back];
  };
  const uint32_t context0 = context(n - 1, n - 2);
  const uint32_t context1 = context(0, n - 1);

  for (uint32_t i = 2; i < n; ++i) ++bucket_start[context(i - 1, i - 2)];
  ++bucket_start[context0];
  ++bucket_start[context1];
  uint32_t start = 0;
  for (uint32_t& slot : bucket_start) {
    const uint32_t count = slot;
    slot = start;
    start += count;
  }
  for (uint32_t i = 2; i < n; ++i) sorted[bucket_start[context(i - 1, i - 2)]++] = bytes[i];
  sorted[bucket_start[context0]++] = bytes[0];
  sorted[bucket_start[context1]++] = bytes[1];
  return measure(sorted.data(), n, nullptr);
}

}  // namespace tarn
