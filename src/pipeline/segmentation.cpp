// Segmentation and block splitting; see the header.
#include "pipeline/segmentation.h"

#include <algorithm>
#include <cstdlib>

#include "pipeline/block_types.h"

namespace tarn {
namespace {

// The histogram pair and its distance, kept as the differences of the two
// counters per byte value and the sum of their magnitudes, one counter at a
// time. A counter change by a known step moves the sum by an amount its sign
// alone decides, so no magnitudes are taken.
class HistogramDistance {
 public:
  // Counts c once more in A (delta 1) or once less in B (delta 1), or the
  // other way round (delta -1).
  void shift(uint8_t c, int32_t delta) {
    const int32_t before = e_[c];
    const int32_t after = before + delta;
    e_[c] = after;
    d_ += std::abs(after) - std::abs(before);
  }
  // The signs below are taken from the top bit, not from comparisons: a
  // counter near 0 changes sign often, and a compiler may turn a comparison
  // into a branch that then mispredicts on every such change.
  // shift(c, -1): |e - 1| - |e| is -1 above 0, else 1.
  void lower(uint8_t c) {
    const int32_t before = e_[c]--;
    d_ += 1 - 2 * static_cast<int32_t>(static_cast<uint32_t>(-before) >> 31);  // counts stay far from the limits
  }
  // shift(c, 2): |e + 2| - |e| is 2 from 0 on, 0 at -1, -2 below.
  void raise_twice(uint8_t c) {
    const int32_t before = e_[c];
    e_[c] = before + 2;
    const auto negative = static_cast<int32_t>(static_cast<uint32_t>(before) >> 31);
    const auto below_minus_one = static_cast<int32_t>(static_cast<uint32_t>(before + 1) >> 31);
    d_ += 2 * (1 - negative - below_minus_one);
  }
  int32_t distance() const { return d_; }

 private:
  int32_t e_[256] = {};  // count in A minus count in B
  int32_t d_ = 0;
};

}  // namespace

void split_segment(uint32_t start, uint32_t end, std::vector<BlockSpan>& blocks) {
  while (start + BLOCK_SIZE < end) {
    blocks.push_back({start, BLOCK_SIZE});
    start += BLOCK_SIZE;
  }
  blocks.push_back({start, end - start});
}

void segment_buffer(const uint8_t* data, uint32_t n, std::vector<BlockSpan>& blocks) {
  if (n < SEGMENT_MIN_BUFFER) {
    blocks.push_back({0, n});
    return;
  }
  // 1024 windows cover buffers up to 4,198,400 bytes; a longer one (which
  // the prepass could in principle hand back) sizes the table itself.
  const uint32_t last_window = (n - (SEGMENT_WINDOW + 1)) >> 12;
  const size_t windows = last_window + 1 > 1024 ? last_window + 1 : 1024;
  std::vector<int32_t> best(windows, -1);
  std::vector<int32_t> pos(windows, 0);

  HistogramDistance hist;
  for (uint32_t i = 0; i < SEGMENT_WINDOW; ++i) hist.shift(data[i], 1);
  for (uint32_t i = SEGMENT_WINDOW; i < 2 * SEGMENT_WINDOW; ++i) hist.shift(data[i], -1);

  // Window by window, its best distance and position held in registers.
  for (uint32_t i = SEGMENT_WINDOW; i < n - SEGMENT_WINDOW;) {
    const uint32_t k = i >> 12;
    const uint32_t window_end = std::min((k + 1) << 12, n - SEGMENT_WINDOW);
    int32_t best_distance = best[k];
    int32_t best_pos = pos[k];
    for (; i < window_end; ++i) {
      if (hist.distance() > best_distance) {
        best_distance = hist.distance();
        best_pos = static_cast<int32_t>(i);
      }
      // A loses the byte 4096 back, the byte at i moves from B to A, B gains
      // the byte 4096 on.
      hist.lower(data[i - SEGMENT_WINDOW]);
      hist.raise_twice(data[i]);
      hist.lower(data[i + SEGMENT_WINDOW]);
    }
    best[k] = best_distance;
    pos[k] = best_pos;
  }

  int32_t prev = 0;
  for (uint32_t k = 1; k <= last_window; ++k) {
    if (best[k] > SEGMENT_CUT_DISTANCE && pos[k] - prev > SEGMENT_MIN_GAP) {
      split_segment(static_cast<uint32_t>(prev), static_cast<uint32_t>(pos[k]), blocks);
      prev = pos[k];
    }
  }
  split_segment(static_cast<uint32_t>(prev), n, blocks);
}

}  // namespace tarn
