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

// The whole list is one 16-byte register, entry k in byte k. A byte's rank
// is the lowest set bit of the mask of entries equal to it (one compare with
// the byte repeated sixteen times, a row of a table, so the broadcast is one
// load); the move shifts the entries up to the rank one byte along, keeps the
// others and puts the byte in front. The 8-entry list looks at bytes 0..7
// only.
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

// One list and its sums. A step has no branch: a repeat (rank 0) moves
// only the front entry, onto itself. The entries that move are found from
// the compare itself, not from the rank: those below the byte's entry (all
// of them when it is missing) and the entry itself, a prefix the or of four
// shifted copies of the compare gives. So the next step waits on a few
// vector operations only, and the rank goes to the sums beside them.
template <uint32_t list_size, bool with_cost8>
struct MtfRegister {
  static_assert(list_size == 8 || list_size == 16);
  static constexpr uint32_t MISSING = uint32_t{1} << list_size;  // a bit above every rank

  __m128i list = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  MtfSums s;

  void step(uint8_t x) {
    const __m128i same = _mm_cmpeq_epi8(list, row_of(BROADCAST, x));
    // A byte found only above the 8-entry list's ranks still counts 8: the
    // bit of MISSING is lower than any such find. What moves above those
    // ranks is never looked at.
    const auto j = static_cast<uint32_t>(std::countr_zero(static_cast<uint32_t>(_mm_movemask_epi8(same)) | MISSING));
    s.repeats += j == 0 ? 1u : 0u;
    s.coded += j == 0 ? 0u : 1u;
    s.position_sum += j;
    if constexpr (with_cost8) s.position_sum8 += j < 8 ? j : 8;
    __m128i at_or_above = same;
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 1));
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 2));
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 4));
    at_or_above = _mm_or_si128(at_or_above, _mm_slli_si128(at_or_above, 8));
    const __m128i moved = _mm_or_si128(_mm_andnot_si128(at_or_above, _mm_set1_epi8(-1)), same);
    const __m128i kept = _mm_andnot_si128(moved, list);
    list = _mm_or_si128(_mm_or_si128(_mm_and_si128(moved, _mm_slli_si128(list, 1)), kept), _mm_cvtsi32_si128(x));
  }
};

template <uint32_t list_size, bool with_cost8>
MtfSums mtf_sums(const uint8_t* bytes, uint32_t length) {
  MtfRegister<list_size, with_cost8> r;
  for (uint32_t i = 0; i < length; ++i) r.step(bytes[i]);
  return r.s;
}

// Two strings of one length side by side: the two lists' steps do not wait
// on each other, so the processor runs them together.
template <bool with_cost8>
void mtf_sums_pair(const uint8_t* first, const uint8_t* second, uint32_t length, MtfSums& first_sums,
                   MtfSums& second_sums) {
  MtfRegister<16, with_cost8> a;
  MtfRegister<16, false> b;
  for (uint32_t i = 0; i < length; ++i) {
    a.step(first[i]);
    b.step(second[i]);
  }
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
