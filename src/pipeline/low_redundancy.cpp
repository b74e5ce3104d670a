// Low-redundancy test: spots blocks that look random (already compressed or
// encrypted data), for which the PPM model would work for nothing.
//
// A block counts as random when, both in its own order and sorted by its two
// preceding bytes, almost every byte that is not a repeat of its predecessor
// is missing from the eight most recently seen byte values: both
// move-to-front costs (list of eight, at most 8.0) exceed 7.4. The block is
// never changed. Blocks of fewer than two bytes have no order-2 context and
// are left to the PPM coder.
#include "pipeline/filters.h"

#include "pipeline/block_types.h"

namespace tarn {

namespace {
constexpr double RANDOM_THRESHOLD = 7.4;
}

uint8_t test_low_redundancy(const uint8_t* block, uint32_t length) {
  SortScratch scratch;
  return test_low_redundancy(block, length, scratch);
}

uint8_t test_low_redundancy(const uint8_t* block, uint32_t length, SortScratch& scratch, double plain_cost8) {
  if (length < 2) return 0;
  // The sort is only needed when the plain cost already passes.
  const double plain = plain_cost8 >= 0.0 ? plain_cost8 : mtf_cost8(block, length);
  if (!(plain > RANDOM_THRESHOLD)) return 0;
  if (!(context_sorted_cost(block, length, mtf_cost8, scratch) > RANDOM_THRESHOLD)) return 0;
  return BLOCK_LOW_REDUNDANCY;
}

}  // namespace tarn
