// Segmentation and block splitting; see the header.
#include "pipeline/segmentation.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "common/error.h"
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

// Where no window can cut, the distance need not be followed byte by byte.
// A step changes three counters by 4 in all, so the distance moves by at
// most 4 per position and half of it, h, by at most 2: between two
// positions a < b, h stays at most (h(a) + h(b)) / 2 + (b - a). The
// histograms are therefore counted by chunks of CHUNK bytes, h taken at
// every chunk edge, and a window is followed byte by byte only when that
// bound lets a position between two of its edges reach a cut. In uniform
// data none does: each byte is then counted once, into its chunk, rather
// than stepped three times.
constexpr uint32_t CHUNK = 512;
constexpr uint32_t WINDOW_CHUNKS = SEGMENT_WINDOW / CHUNK;
constexpr uint32_t RING = 32;  // chunk counts kept: the window back, the window, the next

// The chunks' counts and the count differences at the current chunk edge
// (the count before it less the count from it on, -4096 to 4096).
struct Tally {
  alignas(16) int16_t chunk[RING][256];
  alignas(16) int16_t d[256];
};

// The counts of the window of chunks x to x + WINDOW_CHUNKS - 1 into the
// ring, the chunks side by side: a byte value coming back soon within one
// chunk then does not make each count wait on the one before.
// The counts are added to the BLOCK_SIZE stretch each chunk is part of,
// when they are asked for.
void count_window(const uint8_t* data, uint32_t x, Tally& t, ByteCounts* regions) {
  int16_t* counts[WINDOW_CHUNKS];
  const uint8_t* p = data + static_cast<size_t>(x) * CHUNK;
  for (uint32_t k = 0; k < WINDOW_CHUNKS; ++k) {
    counts[k] = t.chunk[(x + k) % RING];
    std::fill(counts[k], counts[k] + 256, int16_t{0});
  }
  for (uint32_t j = 0; j < CHUNK; ++j)
    for (uint32_t k = 0; k < WINDOW_CHUNKS; ++k) ++counts[k][p[k * CHUNK + j]];
  if (regions == nullptr) return;
  static_assert(BLOCK_SIZE % SEGMENT_WINDOW == 0, "a window lies in one stretch");
  uint32_t* region = regions[x * CHUNK / BLOCK_SIZE].count;
  for (uint32_t k = 0; k < WINDOW_CHUNKS; ++k)
    for (uint32_t c = 0; c < 256; ++c) region[c] += static_cast<uint32_t>(counts[k][c]);
}

// Half the distance of the differences: their sum is at most 8192, so it is
// summed in 16 bits.
int32_t half_distance(const int16_t* d) {
  uint16_t sum = 0;
  for (uint32_t c = 0; c < 256; ++c) sum = static_cast<uint16_t>(sum + (d[c] < 0 ? -d[c] : d[c]));
  return sum / 2;
}

// The differences from the edge of chunk x to that of chunk x + 1: the
// chunk moves from after to before, the one a window back leaves, the one a
// window on comes in. Chunks x - WINDOW_CHUNKS to x + WINDOW_CHUNKS are
// counted.
void advance(uint32_t x, Tally& t) {
  const int16_t* here = t.chunk[x % RING];
  const int16_t* back = t.chunk[(x - WINDOW_CHUNKS) % RING];
  const int16_t* on = t.chunk[(x + WINDOW_CHUNKS) % RING];
  for (uint32_t c = 0; c < 256; ++c) t.d[c] = static_cast<int16_t>(t.d[c] + 2 * here[c] - back[c] - on[c]);
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
// window it is following.
struct Parts {
  Counter e[4 * 256];
  alignas(16) int16_t distances[4][SEGMENT_WINDOW];
};

// Follows the whole windows from start[k], parts 0 to P - 1 side by side,
// from the counters and half distances there.
template <uint32_t P, typename Keep>
void scan_side_by_side(const int32_t* moves, const uint8_t* data, Parts& q, const uint32_t* start,
                       const int32_t* h, const Keep& keep) {
  const uint8_t* p0 = data + start[0];
  const uint8_t* p1 = data + start[1];
  const uint8_t* p2 = data + start[P - 2];
  const uint8_t* p3 = data + start[P - 1];
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
  for (uint32_t k = 0; k < P; ++k) keep(q.distances[k], start[k], SEGMENT_WINDOW);
}

}  // namespace

void split_segment(uint32_t start, uint32_t end, std::vector<BlockSpan>& blocks) {
  while (start + BLOCK_SIZE < end) {
    blocks.push_back({start, BLOCK_SIZE});
    start += BLOCK_SIZE;
  }
  blocks.push_back({start, end - start});
}

void segment_buffer(const uint8_t* data, uint32_t n, std::vector<BlockSpan>& blocks,
                    std::vector<ByteCounts>* region_counts) {
  if (region_counts) region_counts->clear();
  if (n < SEGMENT_MIN_BUFFER) {
    blocks.push_back({0, n});
    return;
  }
  ByteCounts* regions = nullptr;
  if (region_counts) {
    try {
      region_counts->assign((n + BLOCK_SIZE - 1) / BLOCK_SIZE, ByteCounts{});
    } catch (const std::bad_alloc&) {
      raise_error(ErrorCode::OUT_OF_MEMORY);
    }
    regions = region_counts->data();
  }
  // 1024 windows cover buffers up to 4,198,400 bytes; a longer one (which
  // the prepass could in principle hand back) sizes the table itself.
  const uint32_t last_window = (n - (SEGMENT_WINDOW + 1)) >> 12;
  const size_t windows = last_window + 1 > 1024 ? last_window + 1 : 1024;
  std::vector<int32_t> best(windows, -1);
  std::vector<int32_t> pos(windows, 0);

  // The windows that may cut are followed byte by byte four at a time side
  // by side, each from the counters at its start: each step waits on the
  // counters the steps before changed, through memory when a byte value
  // comes back soon (in record files the spaces come back every other byte),
  // and the steps of one window do not wait on another's. A batch of one or
  // three repeats its last window, which comes out the same either time.
  // The window that is not whole is followed on its own, at the end.
  const uint32_t first = SEGMENT_WINDOW;
  const uint32_t end = n - SEGMENT_WINDOW;
  const uint32_t whole_windows = (end - first) >> 12;
  const int32_t* moves = distance_moves();
  const auto keep = [&](const int16_t* distances, uint32_t from, uint32_t count) {
    const Largest l = first_largest(distances, count);
    best[from >> 12] = 2 * l.distance;
    pos[from >> 12] = static_cast<int32_t>(from + l.at);
  };
  Parts q;
  uint32_t start[4];
  int32_t h[4];
  uint32_t batch = 0;
  const auto follow_batch = [&]() {
    if (batch == 0) return;
    const uint32_t parts = batch > 2 ? 4 : 2;
    for (uint32_t k = batch; k < parts; ++k) {
      std::copy(q.e + 256 * (k - 1), q.e + 256 * k, q.e + 256 * k);
      start[k] = start[k - 1];
      h[k] = h[k - 1];
    }
    if (parts == 4) scan_side_by_side<4>(moves, data, q, start, h, keep);
    if (parts == 2) scan_side_by_side<2>(moves, data, q, start, h, keep);
    batch = 0;
  };
  const auto counters_here = [&](const Tally& t, uint32_t k) {
    for (uint32_t c = 0; c < 256; ++c) q.e[256 * k + c] = static_cast<Counter>(t.d[c] + static_cast<int32_t>(ZERO));
  };

  Tally t;
  count_window(data, 0, t, regions);
  count_window(data, WINDOW_CHUNKS, t, regions);
  for (uint32_t c = 0; c < 256; ++c) {
    int32_t d = 0;
    for (uint32_t x = 0; x < WINDOW_CHUNKS; ++x) d += t.chunk[x][c] - t.chunk[WINDOW_CHUNKS + x][c];
    t.d[c] = static_cast<int16_t>(d);
  }
  int32_t h_edge = half_distance(t.d);
  for (uint32_t w = 1; w <= whole_windows; ++w) {
    counters_here(t, batch);
    const int32_t h_start = h_edge;
    bool may_cut = false;
    count_window(data, (w + 1) * WINDOW_CHUNKS, t, regions);
    for (uint32_t x = w * WINDOW_CHUNKS; x < (w + 1) * WINDOW_CHUNKS; ++x) {
      advance(x, t);
      const int32_t h_next = half_distance(t.d);
      may_cut |= h_edge + h_next + 2 * static_cast<int32_t>(CHUNK) > SEGMENT_CUT_DISTANCE;
      h_edge = h_next;
    }
    if (!may_cut) continue;
    start[batch] = w << 12;
    h[batch] = h_start;
    if (++batch == 4) follow_batch();
  }
  follow_batch();
  // The windows counted end a window past the last whole one; the bytes
  // behind them are counted one by one.
  if (regions)
    for (uint32_t i = (whole_windows + 2) << 12; i < n; ++i) ++regions[i / BLOCK_SIZE].count[data[i]];
  const uint32_t rest = (whole_windows + 1) << 12;
  if (rest < end) {
    counters_here(t, 0);
    int32_t hl = h_edge;
    for (ptrdiff_t u = 0; u < static_cast<ptrdiff_t>(end - rest); ++u) {
      q.distances[0][u] = static_cast<int16_t>(hl);
      hl = step(moves, q.e, 0, hl, data + rest, u);
    }
    keep(q.distances[0], rest, end - rest);
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
