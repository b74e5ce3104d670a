// Segmentation and block splitting; see the header.
#include "pipeline/segmentation.h"

#include <algorithm>
#include <cstdlib>

#include "pipeline/block_types.h"

namespace tarn {
namespace {

// The histogram pair at one position and its distance, kept as the
// differences of the two counters per byte value and the sum of their
// magnitudes. The pair at position i depends on the bytes of [i - 4096,
// i + 4096) alone, so it can be counted afresh at any position. A step moves
// each counter by a known amount, which moves the sum by an amount its sign
// alone decides, so no magnitudes are taken.
class HistogramDistance {
 public:
  // The pair at position i, counted afresh.
  HistogramDistance(const uint8_t* data, uint32_t i) {
    for (uint32_t j = i - SEGMENT_WINDOW; j < i; ++j) ++e_[data[j]];
    for (uint32_t j = i; j < i + SEGMENT_WINDOW; ++j) --e_[data[j]];
    for (const int32_t e : e_) d_ += std::abs(e);
  }
  // From position i to i + 1: A loses the byte 4096 back, the byte at i
  // moves from B to A, B gains the byte 4096 on.
  void step(const uint8_t* data, uint32_t i) {
    lower(data[i - SEGMENT_WINDOW]);
    raise_twice(data[i]);
    lower(data[i + SEGMENT_WINDOW]);
  }
  int32_t distance() const { return d_; }

 private:
  // The signs below are taken from the top bit, not from comparisons: a
  // counter near 0 changes sign often, and a compiler may turn a comparison
  // into a branch that then mispredicts on every such change.
  // |e - 1| - |e| is -1 above 0, else 1.
  void lower(uint8_t c) {
    const int32_t before = e_[c]--;
    d_ += 1 - 2 * static_cast<int32_t>(static_cast<uint32_t>(-before) >> 31);  // counts stay far from the limits
  }
  // |e + 2| - |e| is 2 from 0 on, 0 at -1, -2 below.
  void raise_twice(uint8_t c) {
    const int32_t before = e_[c];
    e_[c] = before + 2;
    const auto negative = static_cast<int32_t>(static_cast<uint32_t>(before) >> 31);
    const auto below_minus_one = static_cast<int32_t>(static_cast<uint32_t>(before + 1) >> 31);
    d_ += 2 * (1 - negative - below_minus_one);
  }

  int32_t e_[256] = {};  // count in A minus count in B
  int32_t d_ = 0;
};

// The best distance of each 4096-position window and where it is first
// reached, for the positions [from, to) of one pair of histograms; the first
// and last windows may be shared with a neighbouring range.
void scan_windows(const uint8_t* data, HistogramDistance& hist, uint32_t from, uint32_t to, int32_t* best,
                  int32_t* pos) {
  for (uint32_t i = from; i < to;) {
    const uint32_t k = i >> 12;
    const uint32_t window_end = std::min((k + 1) << 12, to);
    int32_t best_distance = best[k];
    int32_t best_pos = pos[k];
    for (; i < window_end; ++i) {
      if (hist.distance() > best_distance) {
        best_distance = hist.distance();
        best_pos = static_cast<int32_t>(i);
      }
      hist.step(data, i);
    }
    best[k] = best_distance;
    pos[k] = best_pos;
  }
}

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

  // Each step waits on the counters the step before changed, so the
  // positions are scanned as two halves side by side, each from its own
  // pair of histograms counted afresh at a window's start: the steps of one
  // half do not wait on the other's, and every window lies in one half.
  const uint32_t first = SEGMENT_WINDOW;
  const uint32_t end = n - SEGMENT_WINDOW;
  const uint32_t whole_windows = (end - first) >> 12;
  const uint32_t middle = first + ((whole_windows / 2) << 12);
  const uint32_t together = middle - first;  // the second half is at least as long
  HistogramDistance upper_half(data, middle);
  if (together > 0) {  // with under two whole windows the upper half is all there is
    HistogramDistance lower_half(data, first);
    for (uint32_t t = 0; t < together; t += SEGMENT_WINDOW) {
      int32_t best_lower = -1, pos_lower = 0, best_upper = -1, pos_upper = 0;
      for (uint32_t u = t; u < t + SEGMENT_WINDOW; ++u) {
        if (lower_half.distance() > best_lower) {
          best_lower = lower_half.distance();
          pos_lower = static_cast<int32_t>(first + u);
        }
        if (upper_half.distance() > best_upper) {
          best_upper = upper_half.distance();
          pos_upper = static_cast<int32_t>(middle + u);
        }
        lower_half.step(data, first + u);
        upper_half.step(data, middle + u);
      }
      best[(first + t) >> 12] = best_lower;
      pos[(first + t) >> 12] = pos_lower;
      best[(middle + t) >> 12] = best_upper;
      pos[(middle + t) >> 12] = pos_upper;
    }
  }
  scan_windows(data, upper_half, middle + together, end, best.data(), pos.data());

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
