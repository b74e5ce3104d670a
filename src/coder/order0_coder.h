// Order-0 run-adaptive coder for multimedia blocks (block types 0x40..0x5F).
//
// An adaptive frequency table over the 256 byte values, coded through the
// shared range coder with the table's total as scale. What makes it fit
// filtered multimedia residuals is the increment: a value gains 4 per
// occurrence, but while it keeps repeating the gain grows with the run (run
// itself from 4 to 32, then 8 for longer runs), so stretches of one residual
// value quickly become cheap. When the total passes 16,000 every frequency is
// halved, rounding up so that no value ever drops to 0.
//
// Sorted blocks (block types of high nibble 4) go through an order-2 sort
// transform (SortTransform, applied on the pipeline's filter side): the
// block, read as a cycle, is sorted by the two bytes before each position
// (the byte just before in the high half of the key). The first two bytes of
// the original block are kept behind it so that the inverse can rebuild the
// contexts. The coder is always given the block plus those two bytes behind
// it; for high nibble 5 they are whatever the filter left there and the
// decoder ignores them.
//
// Besides the 256 frequencies the coder keeps their sums by groups of 16
// values, so finding a value's cumulative count (encoder) or the value under
// a count (decoder) walks at most 16 group sums and 16 frequencies.
//
// The table lives from one order0_model_reset to the next and carries over
// from block to block; the run state starts afresh in every block.
#pragma once

#include <cstdint>
#include <vector>

#include "coder/range_coder.h"

namespace tarn {

// The order-2 sort transform of the blocks of high nibble 4, with the
// bucket counters (one per two-byte key) and the scratch array it needs,
// kept from block to block so that no block allocates.
class SortTransform {
 public:
  // In place on b[0..n); afterwards b[n] and b[n + 1] hold the block's
  // first two bytes.
  void forward(uint8_t* b, uint32_t n);
  // The inverse, reading the first two bytes from t[n] and t[n + 1].
  void inverse(uint8_t* t, uint32_t n);

 private:
  void prepare_scratch(uint32_t n);

  std::vector<uint32_t> buckets_;
  std::vector<uint8_t> scratch_;
};

class Order0Coder {
 public:
  static constexpr uint16_t RESET_FREQ = 16;
  static constexpr uint16_t RESET_TOTAL = 4096;
  static constexpr uint32_t RESCALE_LIMIT = 16000;

  Order0Coder() { order0_model_reset(); }

  void order0_model_reset();

  void order0_encode(RangeEncoder& coder, const uint8_t* bytes, uint32_t count);
  void order0_decode(RangeDecoder& coder, uint8_t* bytes, uint32_t count);
  void order0_update(uint8_t symbol, uint32_t run);

  uint16_t freq(uint8_t symbol) const { return freq_[symbol]; }
  uint16_t total() const { return total_; }

 private:
  static constexpr unsigned GROUP_BITS = 4;
  static constexpr unsigned GROUPS = 256 >> GROUP_BITS;

  uint16_t freq_[256];
  uint16_t group_[GROUPS];  // group_[g] = sum of freq_[16g .. 16g + 15]
  uint16_t total_ = RESET_TOTAL;
};

}  // namespace tarn
