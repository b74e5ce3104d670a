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
#include <cstring>
#include <new>
#include <vector>

#include "common/cpu_features.h"
#include "common/error.h"
#include "pipeline/filters.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARN_MTF_SSE2 1
#else
#define TARN_MTF_SSE2 0
#endif
// Two lists to a 256-bit register where the processor has them, asked at
// run time.
#if TARN_MTF_SSE2 && TARN_AVX2_PATHS
#include <immintrin.h>
#define TARN_MTF_AVX2 1
#else
#define TARN_MTF_AVX2 0
#endif

namespace tarn {

namespace {

#if TARN_MTF_SSE2

// The list after the steps of bytes[known_at, at) from the list `known`
// (known_at <= at): a step moves its byte to the front and leaves the
// others in their order, so the list holds the 16 byte values used last,
// the latest first, and behind them, in their order, the entries of `known`
// not used since. A scan back from `at` finds them, most often within a few
// dozen bytes. So a string can be measured in parts side by side, each
// part's list made from the bytes before it, and the parts' sums add up to
// the whole string's.
void list_after(const uint8_t* bytes, uint32_t at, uint32_t known_at, const uint8_t* known, uint8_t* list) {
  bool used[256] = {};
  unsigned n = 0;
  for (uint32_t i = at; i > known_at && n < 16;) {
    const uint8_t x = bytes[--i];
    if (!used[x]) {
      used[x] = true;
      list[n++] = x;
    }
  }
  for (unsigned k = 0; n < 16; ++k)
    if (!used[known[k]]) list[n++] = known[k];
}

// The whole list is one 16-byte register, entry k in byte k. A step
// compares the list with the byte repeated sixteen times (a row of a table,
// so the broadcast is one load). The entries before the byte's own (all of
// them when it is missing) are a prefix, and the entries at or above it the
// rest, which arithmetic on the compare's two 64-bit halves gives; the
// prefix moves one byte along, the byte goes in front and the others stay.
// A step has no branch: a repeat moves the front entry onto itself. So the
// next step waits on a few vector operations only.
//
// The new list is the moved one (the list one byte along, the byte in
// front) where an entry is not above the byte's, the old one above it. Both
// lists are there before the compare's arithmetic ends, so the choice is
// kept = (moved ^ list) with the byte's own entry cleared (there the moved
// list's entry, the one before it, is wanted), then
// moved ^ (kept & at_or_above): two operations after at_or_above rather
// than three after "above" (at_or_above less the byte's entry).
//
// The byte's rank is the number of entries before it, 16 when it is missing
// (8 for the 8-entry list, which is bytes 0..7 and moves exactly as they
// do). So the sums need no rank: byte k of a counter register counts
// the steps whose byte had entry k at or above it, and at most every 255
// steps the counters are added up. Entry k was before the byte's in the
// other steps, so the steps times 16 less all sixteen counts are the
// 16-entry sum, the steps times 8 less bytes 0..7 the 8-entry sum, and
// byte 0 counts the repeats.
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

// The entries at or above the one `same` marks, none when it marks none:
// within each 64-bit half, m | -m sets every bit from the lowest set
// one up, and a mark in the low half covers the whole high half. No byte
// shifts, which share one execution port on many processors.
inline __m128i at_or_above_match(__m128i same) {
  const __m128i up = _mm_or_si128(same, _mm_sub_epi64(_mm_setzero_si128(), same));
  const __m128i low_marked = _mm_shuffle_epi32(_mm_srai_epi32(up, 31), _MM_SHUFFLE(1, 1, 1, 1));
  return _mm_or_si128(up, _mm_and_si128(low_marked, _mm_set_epi32(-1, -1, 0, 0)));
}

// The sums of `steps` steps from the counts of entries at or above the
// byte's: the list's low eight (`low`) and high eight (`high`), and entry
// 0's, the repeats.
inline void add_counts(MtfSums& s, uint32_t steps, uint32_t repeats, uint64_t low, uint64_t high) {
  s.coded += steps - repeats;
  s.repeats += repeats;
  const uint64_t before_low = 8 * uint64_t{steps} - low;
  s.position_sum += before_low + 8 * uint64_t{steps} - high;
  s.position_sum8 += before_low;
}

struct MtfRegister {
  __m128i list = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i counters = _mm_setzero_si128();
  MtfSums s;

  void step(uint8_t x) {
    const __m128i row = row_of(BROADCAST, x);
    const __m128i same = _mm_cmpeq_epi8(list, row);
    const __m128i at_or_above = at_or_above_match(same);
    counters = _mm_sub_epi8(counters, at_or_above);  // an entry at or above the byte's: all ones, -1
    // The front entry masked out of the broadcast row: loading it from a
    // table of such rows instead measured no faster.
    const __m128i moved = _mm_or_si128(_mm_slli_si128(list, 1), _mm_and_si128(row, _mm_cvtsi32_si128(0xFF)));
    const __m128i kept = _mm_andnot_si128(same, _mm_xor_si128(moved, list));
    list = _mm_xor_si128(moved, _mm_and_si128(kept, at_or_above));
  }

  // Adds up the counters of the last `steps` steps (at most MAX_COUNTED):
  // an entry was before the byte's in the steps where it was not at or
  // above it.
  void count(uint32_t steps) {
    const __m128i halves = _mm_sad_epu8(counters, _mm_setzero_si128());
    const auto low = static_cast<uint32_t>(_mm_cvtsi128_si32(halves));
    const auto high = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(halves, 8)));
    const uint32_t repeats = static_cast<uint32_t>(_mm_cvtsi128_si32(counters)) & 0xFFu;
    add_counts(s, steps, repeats, low, high);
    counters = _mm_setzero_si128();
  }
};

inline __m128i list_register(const uint8_t* list) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(list)); }

// Below this length a part of a string is measured by one list.
constexpr uint32_t MIN_QUARTERED_LENGTH = 4096;

// The lists at the starts of a part's four quarters, each found from the
// one before it, so that no scan goes back further than a quarter.
struct QuarterLists {
  uint8_t at[4][16];
  QuarterLists(const uint8_t* bytes, uint32_t from, uint32_t quarter, const uint8_t* list) {
    std::memcpy(at[0], list, 16);
    for (uint32_t k = 1; k < 4; ++k) list_after(bytes, from + k * quarter, from + (k - 1) * quarter, at[k - 1], at[k]);
  }
};

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

#if TARN_MTF_AVX2

// Two lists in the two 128-bit halves of one register, each stepping as
// MtfRegister does: the byte shifts and shuffles of the wide register move
// bytes within each half only.
//
// These instructions take a few operations off the 128-bit step, which has
// SSE2 only. A byte shuffle spreads byte 7 of `up` (all ones when the
// byte's entry is one of entries 0..7) over the high half and zeros the low
// half, where the 32-bit shift, the dword shuffle and the mask were. A byte
// alignment of the list with the broadcast row moves the list one byte
// along with the byte in front, where the shift, the masked row and an or
// were. A byte blend in place of the choice between the two lists measured
// slower (several micro-operations on recent cores).
//
// Under GCC a lambda inside a function of the AVX2 target is not of that target
// itself, so the steps the lambdas of counted_steps call would stay calls;
// flatten inlines the whole loop into the target function, steps included.
#define TARN_AVX2_FLAT __attribute__((target("avx2"), flatten))

struct MtfRegisterPair {
  __m256i list;
  __m256i counters;
  MtfSums first;
  MtfSums second;

  TARN_AVX2 MtfRegisterPair(__m128i first_list, __m128i second_list)
      : list(_mm256_inserti128_si256(_mm256_castsi128_si256(first_list), second_list, 1)),
        counters(_mm256_setzero_si256()) {}

  TARN_AVX2 void step(uint8_t x, uint8_t y) {
    const __m256i rows = _mm256_inserti128_si256(_mm256_castsi128_si256(row_of(BROADCAST, x)), row_of(BROADCAST, y), 1);
    const __m256i same = _mm256_cmpeq_epi8(list, rows);
    const __m256i up = _mm256_or_si256(same, _mm256_sub_epi64(_mm256_setzero_si256(), same));
    const __m256i low_marked = _mm256_shuffle_epi8(
        up, _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 7, 7, 7, 7, 7, 7, 7, 7,  //
                             -1, -1, -1, -1, -1, -1, -1, -1, 7, 7, 7, 7, 7, 7, 7, 7));
    const __m256i at_or_above = _mm256_or_si256(up, low_marked);
    counters = _mm256_sub_epi8(counters, at_or_above);
    const __m256i moved = _mm256_alignr_epi8(list, rows, 15);
    const __m256i kept = _mm256_andnot_si256(same, _mm256_xor_si256(moved, list));
    list = _mm256_xor_si256(moved, _mm256_and_si256(kept, at_or_above));
  }

  TARN_AVX2 void count(uint32_t steps) {
    uint64_t sums[4];
    uint8_t bytes[32];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), _mm256_sad_epu8(counters, _mm256_setzero_si256()));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes), counters);
    add_counts(first, steps, bytes[0], sums[0], sums[1]);
    add_counts(second, steps, bytes[16], sums[2], sums[3]);
    counters = _mm256_setzero_si256();
  }
};

// As MtfMeter::measure_to on a part of at least MIN_QUARTERED_LENGTH
// bytes: its quarters in two registers, the last quarter's list going on
// over the few bytes past the fourth and left in `list`.
TARN_AVX2_FLAT MtfSums quarters_wide(const uint8_t* bytes, uint32_t from, uint32_t to, uint8_t* list) {
  const uint32_t quarter = (to - from) / 4;
  const QuarterLists lists(bytes, from, quarter, list);
  const uint8_t* p = bytes + from;
  MtfRegisterPair front(list_register(lists.at[0]), list_register(lists.at[1]));
  MtfRegisterPair back(list_register(lists.at[2]), list_register(lists.at[3]));
  counted_steps(
      quarter,
      [&](uint32_t i) {
        front.step(p[i], p[quarter + i]);
        back.step(p[2 * quarter + i], p[3 * quarter + i]);
      },
      [&](uint32_t steps) {
        front.count(steps);
        back.count(steps);
      });
  MtfRegister tail;
  tail.list = _mm256_extracti128_si256(back.list, 1);
  const uint8_t* rest = p + 4 * quarter;
  counted_steps(static_cast<uint32_t>(bytes + to - rest), [&](uint32_t i) { tail.step(rest[i]); },
                [&](uint32_t steps) { tail.count(steps); });
  _mm_storeu_si128(reinterpret_cast<__m128i*>(list), tail.list);
  front.first.add(front.second);
  front.first.add(back.first);
  front.first.add(back.second);
  front.first.add(tail.s);
  return front.first;
}

#undef TARN_AVX2_FLAT

#endif

}  // namespace

MtfSums MtfMeter::measure_to(uint32_t end) {
  const uint32_t from = measured_;
  const uint32_t length = end - from;
  measured_ = end;
  if (length < MIN_QUARTERED_LENGTH) {
    MtfRegister a;
    a.list = list_register(list_);
    counted_steps(length, [&](uint32_t i) { a.step(bytes_[from + i]); }, [&](uint32_t steps) { a.count(steps); });
    _mm_storeu_si128(reinterpret_cast<__m128i*>(list_), a.list);
    return a.s;
  }
#if TARN_MTF_AVX2
  if (cpu_has_avx2()) return quarters_wide(bytes_, from, end, list_);
#endif
  // Four lists side by side, the last going on over the few bytes past the
  // fourth quarter.
  const uint32_t quarter = length / 4;
  const QuarterLists lists(bytes_, from, quarter, list_);
  const uint8_t* p = bytes_ + from;
  MtfRegister r[4];
  for (uint32_t k = 0; k < 4; ++k) r[k].list = list_register(lists.at[k]);
  counted_steps(
      quarter,
      [&](uint32_t i) {
        for (uint32_t k = 0; k < 4; ++k) r[k].step(p[k * quarter + i]);
      },
      [&](uint32_t steps) {
        for (uint32_t k = 0; k < 4; ++k) r[k].count(steps);
      });
  const uint8_t* rest = p + 4 * quarter;
  counted_steps(static_cast<uint32_t>(bytes_ + end - rest), [&](uint32_t i) { r[3].step(rest[i]); },
                [&](uint32_t steps) { r[3].count(steps); });
  _mm_storeu_si128(reinterpret_cast<__m128i*>(list_), r[3].list);
  for (uint32_t k = 1; k < 4; ++k) r[0].s.add(r[k].s);
  return r[0].s;
}

namespace {

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

// The sums of `length` bytes from the list lo (entries 0..7) and hi
// (entries 8..15), which are left as the bytes leave them; the 8-entry sum
// counts a byte past entry 7 as 8.
MtfSums lane_sums(const uint8_t* bytes, uint32_t length, uint64_t& lo, uint64_t& hi) {
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
      j = 8 + lane_find(hi, x);
      hi = lane_move(hi, j - 8, static_cast<uint8_t>(lo >> 56));
      lo = (lo << 8) | x;
    }
    s.position_sum += j;
    s.position_sum8 += j < 8 ? j : 8;
  }
  return s;
}

}  // namespace

MtfSums MtfMeter::measure_to(uint32_t end) {
  uint64_t lo = 0;
  uint64_t hi = 0;
  for (int k = 7; k >= 0; --k) {
    lo = (lo << 8) | list_[k];
    hi = (hi << 8) | list_[8 + k];
  }
  const MtfSums s = lane_sums(bytes_ + measured_, end - measured_, lo, hi);
  for (int k = 0; k < 8; ++k) {
    list_[k] = static_cast<uint8_t>(lo >> (8 * k));
    list_[8 + k] = static_cast<uint8_t>(hi >> (8 * k));
  }
  measured_ = end;
  return s;
}

namespace {

#endif

}  // namespace

double mtf_cost16(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  const MtfSums s = MtfMeter(bytes).measure_to(length);
  if (repeats) *repeats = s.repeats;
  return s.cost16();
}

// The 16-entry list's first eight entries move exactly as the 8-entry list
// does (a byte missing from them goes to the front and the eighth falls
// behind), so the 16-entry pass gives the 8-entry cost: a byte the 8-entry
// list misses counts 8 there.
double mtf_cost8(const uint8_t* bytes, uint32_t length, uint32_t* repeats) {
  const MtfSums s = MtfMeter(bytes).measure_to(length);
  if (repeats) *repeats = s.repeats;
  return s.cost8();
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
