// Segmentation and block splitting; see the header.
#include "pipeline/segmentation.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "pipeline/block_types.h"

namespace tarn {
namespace {

// A counter holds the count in A minus the count in B, plus ZERO, which
// keeps it from -4096 + ZERO to 4096 + ZERO: never below 0, so it can index
// the table below as it is.
using Counter = uint32_t;
constexpr uint32_t ZERO = SEGMENT_WINDOW;

// How half the distance moves at a counter change, by the counter before it;
// a step moves half the distance by the three entries it looks up. Lowering
// by one (at [counter]) moves the distance by |e - 1| - |e|, -1 above 0 and 1
// else, whose half is kept plus a half: 0 or 1. Raising by two (at [RAISE +
// counter]) moves it by |e + 2| - |e|, 2 from 0 on, 0 at -1 and -2 below,
// whose half is kept less one: 0, -1 or -2. A look-up is one load beside the
// counter's own, where the signs would take several instructions.
constexpr uint32_t RAISE = 2 * SEGMENT_WINDOW + 1;

// The table is filled at its first use: as data it would add 64 KiB to
// every binary that links the pipeline, the self-extracting stub among them.
struct Moves {
  int32_t m[2 * RAISE];
  Moves() {
    for (int32_t e = -static_cast<int32_t>(SEGMENT_WINDOW); e <= static_cast<int32_t>(SEGMENT_WINDOW); ++e) {
      m[e + ZERO] = e > 0 ? 0 : 1;
      m[RAISE + e + ZERO] = e >= 0 ? 0 : e == -1 ? -1 : -2;
    }
  }
};

const int32_t* distance_moves() {
  static const Moves moves;
  return moves.m;
}

// The histogram pair at position i counted afresh into e[0, 256); returns
// half their distance. Each half of each histogram has counts of its own, so
// that a byte value coming back does not make every count wait on the one
// before.
int32_t count_afresh(const uint8_t* data, uint32_t i, Counter* e) {
  constexpr uint32_t HALF = SEGMENT_WINDOW / 2;
  int32_t counts[4][256] = {};
  const uint8_t* p = data + i;
  for (ptrdiff_t j = 0; j < static_cast<ptrdiff_t>(HALF); ++j) {
    ++counts[0][p[j - static_cast<ptrdiff_t>(SEGMENT_WINDOW)]];
    ++counts[1][p[j - static_cast<ptrdiff_t>(HALF)]];
    ++counts[2][p[j]];
    ++counts[3][p[j + static_cast<ptrdiff_t>(HALF)]];
  }
  int32_t d = 0;
  for (uint32_t c = 0; c < 256; ++c) {
    const int32_t diff = counts[0][c] + counts[1][c] - counts[2][c] - counts[3][c];
    d += std::abs(diff);
    e[c] = static_cast<Counter>(diff + static_cast<int32_t>(ZERO));
  }
  return d / 2;
}

// From position i to i + 1: A loses the byte 4096 back, the byte at i moves
// from B to A, B gains the byte 4096 on. p[u] is the byte at i, the counters
// are e[base + byte value] and h is half the distance. The indices are of
// pointer width so that the table's second half is a displacement rather
// than an addition.
inline int32_t step(const int32_t* moves, Counter* e, size_t base, int32_t h, const uint8_t* p, ptrdiff_t u) {
  const size_t a = base + p[u - static_cast<ptrdiff_t>(SEGMENT_WINDOW)];
  const size_t ea = e[a];
  e[a] = static_cast<Counter>(ea - 1);
  h += moves[ea];
  const size_t b = base + p[u];
  const size_t eb = e[b];
  e[b] = static_cast<Counter>(eb + 2);
  h += moves[eb + RAISE];
  const size_t c = base + p[u + static_cast<ptrdiff_t>(SEGMENT_WINDOW)];
  const size_t ec = e[c];
  e[c] = static_cast<Counter>(ec - 1);
  h += moves[ec];
  return h;
}

// The largest of the distances[0, count) and its first position, count >= 1;
// distances is 16-byte aligned. The step loops only record the distances, so
// that they keep no best distance and position of their own.
struct Largest {
  int32_t distance;
  uint32_t at;
};

Largest first_largest(const int16_t* distances, uint32_t count) {
  uint32_t u = 0;
  int32_t largest = -1;
#if defined(__SSE2__) || defined(_M_X64)
  const uint32_t vectors = count / 8;
  if (vectors > 0) {
    __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(distances));
    for (uint32_t j = 1; j < vectors; ++j)
      m = _mm_max_epi16(m, _mm_load_si128(reinterpret_cast<const __m128i*>(distances) + j));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_max_epi16(m, _mm_shufflelo_epi16(m, _MM_SHUFFLE(2, 3, 0, 1)));
    largest = static_cast<int16_t>(_mm_cvtsi128_si32(m));
    u = vectors * 8;
  }
#endif
  uint32_t at = count;
  for (uint32_t j = u; j < count; ++j) {
    if (distances[j] > largest) {
      largest = distances[j];
      at = j;
    }
  }
#if defined(__SSE2__) || defined(_M_X64)
  if (at == count) {
    const __m128i m = _mm_set1_epi16(static_cast<int16_t>(largest));
    for (uint32_t j = 0;; ++j) {
      const int mask = _mm_movemask_epi8(
          _mm_cmpeq_epi16(m, _mm_load_si128(reinterpret_cast<const __m128i*>(distances) + j)));
      if (mask != 0) return {largest, j * 8 + static_cast<uint32_t>(std::countr_zero(static_cast<unsigned>(mask))) / 2};
    }
  }
#endif
  return {largest, at};
}

// The counters of part k at [256 k, 256 k + 256) and the distances of the
// window it is scanning.
struct Parts {
  Counter e[4 * 256];
  alignas(16) int16_t distances[4][SEGMENT_WINDOW];
};

// Scans span whole windows from start[k] with parts 0 to P - 1 side by side.
template <uint32_t P, typename Keep>
void scan_side_by_side(const int32_t* moves, const uint8_t* data, Parts& q, const uint32_t* start, int32_t* h,
                       uint32_t span, const Keep& keep) {
  for (uint32_t t = 0; t < span << 12; t += SEGMENT_WINDOW) {
    const uint8_t* p0 = data + start[0] + t;
    const uint8_t* p1 = data + start[1] + t;
    const uint8_t* p2 = data + start[P - 2] + t;
    const uint8_t* p3 = data + start[P - 1] + t;
    int32_t h0 = h[0], h1 = h[1], h2 = h[P - 2], h3 = h[P - 1];
    for (ptrdiff_t u = 0; u < static_cast<ptrdiff_t>(SEGMENT_WINDOW); ++u) {
      q.distances[0][u] = static_cast<int16_t>(h0);
      q.distances[1][u] = static_cast<int16_t>(h1);
      h0 = step(moves, q.e, 0, h0, p0, u);
      h1 = step(moves, q.e, 256, h1, p1, u);
      if constexpr (P == 4) {
        q.distances[2][u] = static_cast<int16_t>(h2);
        q.distances[3][u] = static_cast<int16_t>(h3);
        h2 = step(moves, q.e, 512, h2, p2, u);
        h3 = step(moves, q.e, 768, h3, p3, u);
      }
    }
    h[0] = h0, h[1] = h1;
    if constexpr (P == 4) h[2] = h2, h[3] = h3;
    for (uint32_t k = 0; k < P; ++k) keep(q.distances[k], start[k] + t, SEGMENT_WINDOW);
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

  // Each step waits on the counters the steps before changed, through
  // memory when a byte value comes back soon (in record files the spaces
  // come back every other byte), so the whole windows are scanned as four
  // parts side by side (two in short buffers), each from its own pair of
  // histograms counted afresh at a window's start: the steps of one part do
  // not wait on another's. The parts have the same number of whole windows,
  // the last one ending where the whole windows end, so it may share windows
  // with the one before and short buffers may have parts that coincide; a
  // shared window comes out the same from either part. The window that is
  // not whole is the last part's alone, after the others.
  const uint32_t first = SEGMENT_WINDOW;
  const uint32_t end = n - SEGMENT_WINDOW;
  const uint32_t whole_windows = (end - first) >> 12;
  // Four parts pay once each has two whole windows.
  const uint32_t parts = whole_windows >= 8 ? 4 : whole_windows >= 2 ? 2 : 1;
  const uint32_t span = parts > 1 ? (whole_windows + parts - 1) / parts : 0;  // whole windows per part
  const int32_t* moves = distance_moves();
  Parts q;
  uint32_t start[4];
  int32_t h[4];
  for (uint32_t k = 0; k < parts; ++k) {
    start[k] = first + (std::min(k * span, whole_windows - span) << 12);
    if (k > 0 && start[k] == start[k - 1]) {
      std::copy(q.e + 256 * (k - 1), q.e + 256 * k, q.e + 256 * k);
      h[k] = h[k - 1];
    } else {
      h[k] = count_afresh(data, start[k], q.e + 256 * k);
    }
  }
  const auto keep = [&](const int16_t* distances, uint32_t from, uint32_t count) {
    const Largest l = first_largest(distances, count);
    best[from >> 12] = 2 * l.distance;
    pos[from >> 12] = static_cast<int32_t>(from + l.at);
  };
  if (parts == 4) scan_side_by_side<4>(moves, data, q, start, h, span, keep);
  if (parts == 2) scan_side_by_side<2>(moves, data, q, start, h, span, keep);
  // The last part goes on over the rest.
  const uint32_t last = parts - 1;
  for (uint32_t i = start[last] + (span << 12); i < end;) {
    const uint32_t count = std::min(SEGMENT_WINDOW, end - i);
    int32_t hl = h[last];
    for (ptrdiff_t u = 0; u < static_cast<ptrdiff_t>(count); ++u) {
      q.distances[0][u] = static_cast<int16_t>(hl);
      hl = step(moves, q.e, 256 * last, hl, data + i, u);
    }
    h[last] = hl;
    keep(q.distances[0], i, count);
    i += count;
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
