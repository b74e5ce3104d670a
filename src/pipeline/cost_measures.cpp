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
#include <bit>
#include <cstdint>
#include <new>
#include <vector>

#include "common/error.h"
#include "pipeline/filters.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARN_MTF_SSE2 1
#else
#define TARN_MTF_SSE2 0
#endif

namespace tarn {

namespace {

// The costs from the sums of one pass: *repeats, the 16-entry (or 8-entry)
// cost returned, and the 8-entry cost from the same pass.
struct MtfSums {
  uint64_t position_sum = 0;
  uint64_t position_sum8 = 0;
  uint32_t coded = 0;
  uint32_t repeats = 0;
};

double finish_mtf_cost(const MtfSums& s, uint32_t* repeats, double* cost8) {
  if (repeats) *repeats = s.repeats;
  if (cost8) *cost8 = s.coded == 0 ? 0.0 : static_cast<double>(s.position_sum8) / static_cast<double>(s.coded);
  return s.coded == 0 ? 0.0 : static_cast<double>(s.position_sum) / static_cast<double>(s.coded);
}

#if TARN_MTF_SSE2

// The whole list is one 16-byte register, entry k in byte k. A step
// compares the list with the byte repeated sixteen times (a row of a table,
// so the broadcast is one load). The entries before the byte's own (all of
// them when it is missing) are a prefix that the or of four shifted copies
// of the compare gives; they move one byte along, the byte goes in front and
// the others stay. A step has no branch: a repeat moves the front entry onto
// itself. So the next step waits on a few vector operations only.
//
// The byte's rank is the number of entries before it, 16 when it is missing
// (8 for the 8-entry list, which looks at bytes 0..7 only and moves exactly
// as they do). So the sums need no rank: byte k of a counter register counts
// the steps whose byte had entry k before it, and at most every 255 steps
// the counters are added up: all sixteen give the 16-entry sum, bytes 0..7
// the 8-entry sum, and byte 0 the steps that were not repeats.
struct alignas(16) ByteRows {
  uint8_t row[256][16];
};

constexpr ByteRows build_broadcast_rows() {
  ByteRows t{};
  for (unsigned x = 0; x < 256; ++x)
    for (unsigned k = 0; k < 16; ++k) t.row[x][k] = static_cast<uint8_t>(x);
  return t;
}

constexpr ByteRows BROADCAST = build_broadcast_rows();

inline __m128i row_of(const ByteRows& rows, uint32_t k) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(rows.row[k]));
}

constexpr uint32_t MAX_COUNTED = 255;  // steps a byte counter holds

template <uint32_t list_size, bool with_cost8>
struct MtfRegister {
  static_assert(list_size == 8 || list_size == 16);

  __m128i list = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i counters = _mm_setzero_si128();
  MtfSums s;

  void step(uint8_t x) {
    const __m128i same = _mm_cmpeq_epi8(list, row_of(BROADCAST, x));
    __m128i at_or_above = same;
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 1));
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 2));
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 4));
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 8));
    const __m128i before = _mm_andnot_si128(at_or_above, _mm_set1_epi8(-1));
    counters = _mm_sub_epi8(counters, before);  // an entry before the byte's: all ones, -1
    const __m128i moved = _mm_or_si128(before, same);
    const __m128i kept = _mm_andnot_si128(moved, list);
    list = _mm_or_si128(_mm_or_si128(_mm_and_si128(moved, _mm_slli_si128(list, 1)), kept), _mm_cvtsi32_si128(x));
  }

  // Adds up the counters of the last `steps` steps (at most MAX_COUNTED).
  void count(uint32_t steps) {
    const __m128i halves = _mm_sad_epu8(counters, _mm_setzero_si128());
    const auto low = static_cast<uint32_t>(_mm_cvtsi128_si32(halves));
    const auto high = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(halves, 8)));
    const uint32_t coded = static_cast<uint32_t>(_mm_cvtsi128_si32(counters)) & 0xFFu;
    s.coded += coded;
    s.repeats += steps - coded;
    s.position_sum += list_size == 16 ? low + high : low;
    if constexpr (with_cost8) s.position_sum8 += low;
    counters = _mm_setzero_si128();
  }
};

// The list after the steps of bytes[0, at): a step moves its byte to the
// front and leaves the others in their order, so the list holds the 16 byte
// values used last, the latest first, and behind them, in their order, the
// starting list's values not used yet. A scan back from `at` finds them,
// most often within a few dozen bytes. So a string can be measured in parts
// side by side, each part's list made from the bytes before it, and the
// parts' sums add up to the whole string's.
inline __m128i list_after(const uint8_t* bytes, uint32_t at) {
  alignas(16) uint8_t list[16];
  bool used[256] = {};
  unsigned n = 0;
  for (uint32_t i = at; i > 0 && n < 16;) {
    const uint8_t x = bytes[--i];
    if (!used[x]) {
      used[x] = true;
      list[n++] = x;
    }
  }
  // Fewer than 16 values used: at least 16 - n of 0..15 are still unused.
  for (unsigned v = 0; n < 16; ++v)
    if (!used[v]) list[n++] = static_cast<uint8_t>(v);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(list));
}

void add_sums(MtfSums& to, const MtfSums& part) {
  to.position_sum += part.position_sum;
  to.position_sum8 += part.position_sum8;
  to.coded += part.coded;
  to.repeats += part.repeats;
}

// Below this length a string is measured in one part.
constexpr uint32_t MIN_SPLIT_LENGTH = 4096;

// Steps 0..length-1 in runs of at most MAX_COUNTED, each run followed by
// its count.
template <typename Step, typename Count>
inline void counted_steps(uint32_t length, Step step, Count count) {
  for (uint32_t i = 0; i < length;) {
    const uint32_t steps = std::min(MAX_COUNTED, length - i);
    for (const uint32_t end = i + steps; i < end; ++i) step(i);
    count(steps);
  }
}

// In two halves side by side: the two lists' steps do not wait on each
// other, so the processor runs them together.
template <uint32_t list_size, bool with_cost8>
MtfSums mtf_sums(const uint8_t* bytes, uint32_t length) {
  MtfRegister<list_size, with_cost8> a;
  if (length < MIN_SPLIT_LENGTH) {
    counted_steps(length, [&](uint32_t i) { a.step(bytes[i]); }, [&](uint32_t steps) { a.count(steps); });
    return a.s;
  }
  const uint32_t half = length / 2;
  MtfRegister<list_size, with_cost8> b;
  b.list = list_after(bytes, half);
  counted_steps(
      half,
      [&](uint32_t i) {
        a.step(bytes[i]);
        b.step(bytes[half + i]);
      },
      [&](uint32_t steps) {
        a.count(steps);
        b.count(steps);
      });
  if (length - half > half) {
    b.step(bytes[length - 1]);
    b.count(1);
  }
  add_sums(a.s, b.s);
  return a.s;
}

// Two strings of one length side by side, each in two halves: four lists
// whose steps do not wait on each other.
template <bool with_cost8>
void mtf_sums_pair(const uint8_t* first, const uint8_t* second, uint32_t length, MtfSums& first_sums,
                   MtfSums& second_sums) {
  MtfRegister<16, with_cost8> a;
  MtfRegister<16, false> b;
  if (length < MIN_SPLIT_LENGTH) {
    counted_steps(
        length,
        [&](uint32_t i) {
          a.step(first[i]);
          b.step(second[i]);
        },
        [&](uint32_t steps) {
          a.count(steps);
          b.count(steps);
        });
    first_sums = a.s;
    second_sums = b.s;
    return;
  }
  const uint32_t half = length / 2;
  MtfRegister<16, with_cost8> a2;
  MtfRegister<16, false> b2;
  a2.list = list_after(first, half);
  b2.list = list_after(second, half);
  counted_steps(
      half,
      [&](uint32_t i) {
        a.step(first[i]);
        b.step(second[i]);
        a2.step(first[half + i]);
        b2.step(second[half + i]);
      },
      [&](uint32_t steps) {
        a.count(steps);
        b.count(steps);
        a2.count(steps);
        b2.count(steps);
      });
  if (length - half > half) {
    a2.step(first[length - 1]);
    b2.step(second[length - 1]);
    a2.count(1);
    b2.count(1);
  }
  add_sums(a.s, a2.s);
  add_sums(b.s, b2.s);
  first_sums = a.s;
  second_sums = b.s;
}

#else

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

template <uint32_t list_size, bool with_cost8>
MtfSums mtf_sums(const uint8_t* bytes, uint32_t length) {
  static_assert(list_size == 8 || list_size == 16);
  uint64_t lo = 0x0706050403020100u;  // entries 0..7
  uint64_t hi = 0x0F0E0D0C0B0A0908u;  // entries 8..15 (16-entry list only)
  MtfSums s;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t x = bytes[i];
    uint32_t j = lane_find(lo, x);
    if (j == 0) {
      ++s.repeats;
      continue;
    }
    ++s.coded;
    if (j < 8) {
      lo = lane_move(lo, j, x);
    } else {
      if constexpr (list_size == 16) {
        j = 8 + lane_find(hi, x);
        hi = lane_move(hi, j - 8, static_cast<uint8_t>(lo >> 56));
      }
      lo = (lo << 8) | x;
    }
    s.position_sum += j;
    if constexpr (with_cost8) s.position_sum8 += j < 8 ? j : 8;
  }
  return s;
}

template <bool with_cost8>
void mtf_sums_pair(const uint8_t* first, const uint8_t* second, uint32_t length, MtfSums& first_sums,
                   MtfSums& second_sums) {
  first_sums = mtf_sums<16, with_cost8>(first, length);
  second_sums = mtf_sums<16, false>(second, length);
}

#endif

}  // namespace

double mtf_cost16(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  return finish_mtf_cost(mtf_sums<16, false>(bytes, length), repeats, nullptr);
}

// The 16-entry list's first eight entries move exactly as the 8-entry list
// does (a byte missing from them goes to the front and the eighth falls
// behind), so the first string's pass also gives its 8-entry cost: a byte
// the 8-entry list misses counts 8 there.
double mtf_cost16_pair(const uint8_t* first, const uint8_t* second, uint32_t length, uint32_t* repeats,
                       double* cost8, double* second_cost) {
  MtfSums first_sums;
  MtfSums second_sums;
  if (cost8) mtf_sums_pair<true>(first, second, length, first_sums, second_sums);
  else mtf_sums_pair<false>(first, second, length, first_sums, second_sums);
  *second_cost = finish_mtf_cost(second_sums, nullptr, nullptr);
  return finish_mtf_cost(first_sums, repeats, cost8);
}

double mtf_cost8(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  return finish_mtf_cost(mtf_sums<8, false>(bytes, length), repeats, nullptr);
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
