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
#include <algorithm>
#include <cstdint>
#include <new>
#include <numeric>
#include <vector>

#include "common/error.h"
#include "pipeline/filters.h"

namespace tarn {

namespace {

template <uint32_t list_size>
double mtf_cost(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  uint8_t list[list_size];
  std::iota(list, list + list_size, uint8_t{0});
  uint64_t position_sum = 0;
  uint32_t coded = 0;
  uint32_t repeat_count = 0;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t x = bytes[i];
    uint32_t j = 0;
    while (j < list_size && list[j] != x) ++j;
    if (j == 0) {
      ++repeat_count;
      continue;
    }
    ++coded;
    position_sum += j;
    std::copy_backward(list, list + std::min(j, list_size - 1), list + std::min(j, list_size - 1) + 1);
    list[0] = x;
  }
  if (repeats) *repeats = repeat_count;
  return coded == 0 ? 0.0 : static_cast<double>(position_sum) / static_cast<double>(coded);
}

}  // namespace

double mtf_cost16(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  return mtf_cost<16>(bytes, length, repeats);
}

double mtf_cost8(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  return mtf_cost<8>(bytes, length, repeats);
}

double context_sorted_cost(const uint8_t* bytes, uint32_t length, CostMeasure measure) {
  if (length < 2) return measure(bytes, length, nullptr);  // one byte: measured as it is
  const uint32_t n = length;
  std::vector<uint32_t> bucket_start;
  std::vector<uint8_t> sorted;
  try {
    bucket_start.assign(65536, 0);
    sorted.resize(n);
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
