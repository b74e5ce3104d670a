// Stride transposition and multimedia prediction for sampled data.
//
// Stride ("swap"): the distance d in 1..16 whose byte-to-byte differences
// |x[i] - x[i-d]| sum smallest is the record length of the data. When it is
// not 1 and predicts at least 40 % better than distance 1, the block is
// regrouped channel by channel: all bytes at position 0 of a record, then all
// at position 1, and so on. The length does not change.
//
// Multimedia: the block (possibly transposed) counts as a signal when the
// residual of an adaptive predictor costs less under a move-to-front measure
// than the block itself, the channels do not mostly repeat their previous
// byte, and at most half of them look like noise. The residual estimate
// (rounded predictor) is written right behind the block and stays there:
// the order-0 coder codes its first two bytes behind a model-2 block. A
// block that cannot be a signal may leave it unfinished. If the
// block sorted by its two preceding bytes costs at least as much as that
// residual, the block is replaced by the exact (unrounded) predictor's
// residual (model 2); otherwise by plain byte differences (model 1).
//
// The model-2 predictor works on the last byte p and the first, second and
// third differences d1, d2, d3 with three small integer weights. Every 32
// bytes it compares seven error sums (the error itself, and the error with
// each difference added or taken away) and moves the weight whose change
// would have helped most by one step.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "common/cpu_features.h"
#include "pipeline/filter_internals.h"
#include "pipeline/filters.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARN_LMS_SSE2 1
#else
#define TARN_LMS_SSE2 0
#endif
// Sixteen positions to a 256-bit register where the processor has AVX2,
// asked at run time.
#if TARN_LMS_SSE2 && TARN_AVX2_PATHS
#include <immintrin.h>
#define TARN_LMS_AVX2 1
#else
#define TARN_LMS_AVX2 0
#endif

namespace tarn {

namespace {

constexpr uint32_t MIN_SIGNAL_BLOCK = 512;
constexpr uint32_t MAX_STRIDE = 16;
constexpr uint32_t ADAPT_PERIOD = 32;
constexpr uint32_t LMS_CHUNK = 128 * ADAPT_PERIOD;  // the residual's bytes taken in at a time
// The one-channel decision looks at the residual's cost every this many
// bytes.
constexpr uint32_t RESIDUAL_PART = 4 * LMS_CHUNK;
constexpr double REPEAT_PERCENT_LIMIT = 60.0;  // a signal repeats its previous byte less often
constexpr double NOISE_COST = 13.9;            // a channel costing more looks like noise

// Blocks the undo passes take: they write a copy behind the block.
constexpr uint32_t MAX_UNDO = WORK_BUFFER_SIZE / 2;

class LmsPredictor {
 public:
  // Advances the differences and returns the prediction of the next byte.
  uint8_t predict(bool rounded) {
    d3_ = d2_;
    d2_ = d1_ - d1_previous_;
    d1_previous_ = d1_;
    const int32_t sum = w1_ * d1_ + 8 * p_ + w2_ * d2_ + w3_ * d3_;
    uint8_t prediction = static_cast<uint8_t>(sum >> 3);  // arithmetic shift, low 8 bits
    if (rounded && ((d1_ + d2_ + d3_) & 1) != 0) ++prediction;
    return prediction;
  }

  // Learns from the residual y and the true byte x at position i.
  void update(uint8_t y, uint8_t x, uint32_t i) {
    const int32_t f = 8 * static_cast<int8_t>(y);
    errors_[0] += std::abs(f);
    errors_[1] += std::abs(f - d1_);
    errors_[2] += std::abs(f + d1_);
    errors_[3] += std::abs(f - d2_);
    errors_[4] += std::abs(f + d2_);
    errors_[5] += std::abs(f - d3_);
    errors_[6] += std::abs(f + d3_);
    d1_ = static_cast<int8_t>(static_cast<uint8_t>(x - p_));
    p_ = x;
    if (i % ADAPT_PERIOD == 0) adapt();
  }

 private:
  void adapt() {
    int best = 0;
    for (int k = 1; k < 7; ++k)
      if (errors_[k] < errors_[best]) best = k;
    for (int32_t& e : errors_) e = 0;
    switch (best) {
      case 1: if (w1_ >= -16) --w1_; break;
      case 2: if (w1_ < 16) ++w1_; break;
      case 3: if (w2_ >= -16) --w2_; break;
      case 4: if (w2_ < 16) ++w2_; break;
      case 5: if (w3_ >= -16) --w3_; break;
      case 6: if (w3_ < 16) ++w3_; break;
      default: break;
    }
  }

  int32_t p_ = 0;
  int32_t d1_ = 0;
  int32_t d1_previous_ = 0;
  int32_t d2_ = 0;
  int32_t d3_ = 0;
  int32_t w1_ = 0;
  int32_t w2_ = 0;
  int32_t w3_ = 0;
  int32_t errors_[7] = {};
};

// The sum of |a[i] - b[i]| over i < count, count at most TILE, so that the
// sum stays below 2^32; in the form the compiler turns into vector code
// (sums of absolute differences, 16 bytes to an instruction, or 32 in the
// 256-bit copy below).
constexpr uint32_t TILE = 16384;

#if TARN_AVX2_PATHS
[[gnu::always_inline]]
#endif
inline uint32_t absolute_difference_sum(const uint8_t* a, const uint8_t* b, uint32_t count) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) sum += static_cast<uint32_t>(std::abs(a[i] - b[i]));
  return sum;
}

// The sums by tiles of TILE positions, every distance over one tile before
// the next: a tile stays in the first-level cache for its sixteen passes.
#if TARN_AVX2_PATHS
[[gnu::always_inline]]
#endif
inline void tiled_distance_sums(const uint8_t* block, uint32_t n, StrideSums& distance_sum) {
  for (uint32_t tile = 0; tile < n; tile += TILE) {
    const uint32_t end = n - tile > TILE ? tile + TILE : n;
    for (uint32_t d = 1; d <= MAX_STRIDE && d < end; ++d) {
      const uint32_t from = tile > d ? tile : d;
      distance_sum[d] += absolute_difference_sum(block + from, block + from - d, end - from);
    }
  }
}

void plain_distance_sums(const uint8_t* block, uint32_t n, StrideSums& distance_sum) {
  tiled_distance_sums(block, n, distance_sum);
}

#if TARN_AVX2_PATHS
TARN_AVX2 void wide_distance_sums(const uint8_t* block, uint32_t n, StrideSums& distance_sum) {
  tiled_distance_sums(block, n, distance_sum);
}
#endif

}  // namespace

void stride_distance_sums(const uint8_t* block, uint32_t n, StrideSums& distance_sum) {
  // The sum of |x[i] - x[i-d]| over i = d..n-1 is a sum of absolute byte
  // differences the compiler turns into vector code.
  distance_sum = {};
#if TARN_AVX2_PATHS
  if (cpu_has_avx2()) return wide_distance_sums(block, n, distance_sum);
#endif
  plain_distance_sums(block, n, distance_sum);
}

uint32_t detect_stride(const uint8_t* block, uint32_t n) {
  StrideSums distance_sum;
  stride_distance_sums(block, n, distance_sum);
  uint32_t best = 1;
  for (uint32_t d = 2; d <= MAX_STRIDE; ++d)
    if (distance_sum[d] < distance_sum[best]) best = d;
  if (best == 1) return 0;
  if (3 * distance_sum[1] < 5 * distance_sum[best]) return 0;  // gain under 40 %
  return best - 1;
}

void transpose_by_stride(uint8_t* work, uint32_t n, uint32_t parameter) {
  const uint32_t stride = parameter + 1;
  uint8_t* out = work + n;
  uint32_t j = 0;
  for (uint32_t channel = 0; channel < stride; ++channel)
    for (uint32_t i = channel; i < n; i += stride) out[j++] = work[i];
  std::memcpy(work, out, n);
}

void untranspose_by_stride(uint8_t* work, uint32_t n, uint32_t parameter) {
  const uint32_t stride = parameter + 1;
  uint8_t* out = work + n;
  uint32_t j = 0;
  for (uint32_t channel = 0; channel < stride; ++channel)
    for (uint32_t i = channel; i < n; i += stride) out[i] = work[j++];
  std::memcpy(work, out, n);
}

// The residual needs no restored bytes: the differences come from the input
// alone, so the weights are the only thing carried from step to step, and
// they change only between periods. A period's differences, predictions,
// residuals and error sums are worked out a period at a time; a full period
// has a fixed length and goes through 16-bit vector lanes (lms_period32).
// Position 0 is a period of its own (the predictor adapts after it), then
// every 32 positions.
struct LmsWeights {
  int32_t w1 = 0, w2 = 0, w3 = 0;
};

// One period of `length` bytes: h[0..3] the four bytes before it, h[4..]
// its own; the residuals go to y, the seven error sums to errors.
inline void lms_period(const uint8_t* h, uint8_t* y, uint32_t length, LmsWeights w, int32_t round_mask,
                       int32_t* errors) {
  int32_t e0 = 0, e1 = 0, e2 = 0, e3 = 0, e4 = 0, e5 = 0, e6 = 0;
  for (uint32_t k = 0; k < length; ++k) {
    const int32_t d1 = static_cast<int8_t>(static_cast<uint8_t>(h[k + 3] - h[k + 2]));
    const int32_t d1_previous = static_cast<int8_t>(static_cast<uint8_t>(h[k + 2] - h[k + 1]));
    const int32_t d1_before = static_cast<int8_t>(static_cast<uint8_t>(h[k + 1] - h[k]));
    const int32_t d2 = d1 - d1_previous;
    const int32_t d3 = d1_previous - d1_before;
    const int32_t sum = w.w1 * d1 + 8 * h[k + 3] + w.w2 * d2 + w.w3 * d3;
    const auto prediction = static_cast<uint8_t>((sum >> 3) + ((d1 + d2 + d3) & round_mask));
    const auto residual = static_cast<uint8_t>(prediction - h[k + 4]);
    y[k] = residual;
    const int32_t f = 8 * static_cast<int8_t>(residual);
    e0 += std::abs(f);
    e1 += std::abs(f - d1);
    e2 += std::abs(f + d1);
    e3 += std::abs(f - d2);
    e4 += std::abs(f + d2);
    e5 += std::abs(f - d3);
    e6 += std::abs(f + d3);
  }
  errors[0] = e0;
  errors[1] = e1;
  errors[2] = e2;
  errors[3] = e3;
  errors[4] = e4;
  errors[5] = e5;
  errors[6] = e6;
}

// Steps the weight of the first smallest of the seven error sums, as
// LmsPredictor::adapt: a step past -17 or 16 leaves the weight at that end.
inline void adapt_weights(const int32_t* errors, LmsWeights& w) {
  int best = 0;
  for (int k = 1; k < 7; ++k)
    if (errors[k] < errors[best]) best = k;
  static constexpr int8_t STEP[7][3] = {{0, 0, 0}, {-1, 0, 0}, {1, 0, 0}, {0, -1, 0},
                                        {0, 1, 0},  {0, 0, -1}, {0, 0, 1}};
  w.w1 = std::clamp(w.w1 + STEP[best][0], -17, 16);
  w.w2 = std::clamp(w.w2 + STEP[best][1], -17, 16);
  w.w3 = std::clamp(w.w3 + STEP[best][2], -17, 16);
}

#if TARN_LMS_SSE2

// The steps of the three weights for each of the seven sums, in 16-bit lanes.
struct alignas(16) WeightSteps {
  int16_t lanes[7][3][8];
};

constexpr WeightSteps make_weight_steps() {
  WeightSteps s{};
  for (int best = 1; best < 7; ++best)
    for (int lane = 0; lane < 8; ++lane) s.lanes[best][(best - 1) / 2][lane] = best % 2 == 1 ? -1 : 1;
  return s;
}

constexpr WeightSteps WEIGHT_STEPS = make_weight_steps();

inline __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

inline __m128i sign_extend_low(__m128i d) { return _mm_srai_epi16(_mm_unpacklo_epi8(d, d), 8); }
inline __m128i sign_extend_high(__m128i d) { return _mm_srai_epi16(_mm_unpackhi_epi8(d, d), 8); }

// Adds the lanes of a and b in pairs: lane 2j gets a's lanes j and j + 4,
// lane 2j + 1 b's; likewise for 32 and 64-bit pieces. Three levels leave
// the sum of register k's lanes in lane k.
inline __m128i fold16(__m128i a, __m128i b) { return _mm_add_epi16(_mm_unpacklo_epi16(a, b), _mm_unpackhi_epi16(a, b)); }
inline __m128i fold32(__m128i a, __m128i b) { return _mm_add_epi16(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b)); }
inline __m128i fold64(__m128i a, __m128i b) { return _mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b)); }

// A period's seven error sums, each the sum of a register's lanes, as
// unsigned 16-bit numbers: lane k the k-th, lane 7 above them all (the
// lanes of `eighth` sum to 0xFFFF).
inline __m128i error_sums(__m128i e0, __m128i e1, __m128i e2, __m128i e3, __m128i e4, __m128i e5, __m128i e6) {
  const __m128i eighth = _mm_set_epi16(0, 0, 0, 0, 0, 0, 0, -1);
  return fold64(fold32(fold16(e0, e1), fold16(e2, e3)), fold32(fold16(e4, e5), fold16(e6, eighth)));
}

// Which of the error sums is the first smallest. The sign bits are flipped
// so that signed comparisons order them as unsigned.
inline int first_smallest(__m128i e0, __m128i e1, __m128i e2, __m128i e3, __m128i e4, __m128i e5, __m128i e6) {
  const __m128i sign = _mm_set1_epi16(static_cast<int16_t>(0x8000));
  const __m128i sums = _mm_xor_si128(error_sums(e0, e1, e2, e3, e4, e5, e6), sign);
  __m128i m = _mm_min_epi16(sums, _mm_shuffle_epi32(sums, 0x4E));
  m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0xB1));
  m = _mm_min_epi16(m, _mm_shufflehi_epi16(_mm_shufflelo_epi16(m, 0xB1), 0xB1));
  const auto smallest = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(sums, m)));
  return std::countr_zero(smallest) / 2;
}

// `periods` full periods, each as lms_period followed by adapt_weights, in
// 16-bit vector lanes, eight positions to a register. The values fit: d1 is
// in [-128, 127], d2 and d3 in [-255, 255], so with weights in [-17, 16]
// the sum is at most 17 * 128 + 17 * 255 + 17 * 255 + 8 * 255 = 12886 in
// size. The low eight bits of (sum >> 3) + rounding - x are the residual
// whatever the bits above them. d1 + d2 + d3 = 2 d1 - d1_before has the
// parity of d1_before. f = 8 * residual is in [-1024, 1016], an error term
// at most 1024 + 255 = 1279 and a period's sum at most 32 * 1279 = 40928:
// the sums are added and compared as unsigned 16-bit numbers.
inline void lms_full_periods(const uint8_t* h, uint8_t* y, uint32_t periods, LmsWeights& w, int32_t round_mask) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i round = _mm_set1_epi16(static_cast<int16_t>(round_mask));
  const __m128i low_bytes = _mm_set1_epi16(0xFF);
  const __m128i lowest = _mm_set1_epi16(-17), highest = _mm_set1_epi16(16);
  __m128i w1 = _mm_set1_epi16(static_cast<int16_t>(w.w1));
  __m128i w2 = _mm_set1_epi16(static_cast<int16_t>(w.w2));
  __m128i w3 = _mm_set1_epi16(static_cast<int16_t>(w.w3));
  for (uint32_t period = 0; period < periods; ++period, h += ADAPT_PERIOD, y += ADAPT_PERIOD) {
    __m128i e0 = zero, e1 = zero, e2 = zero, e3 = zero, e4 = zero, e5 = zero, e6 = zero;
    // Eight positions; the residual bytes come back in the low byte of each lane.
    auto eight = [&](__m128i d1, __m128i d1_previous, __m128i d1_before, __m128i last, __m128i x) {
      const __m128i d2 = _mm_sub_epi16(d1, d1_previous);
      const __m128i d3 = _mm_sub_epi16(d1_previous, d1_before);
      __m128i sum = _mm_add_epi16(_mm_mullo_epi16(w1, d1), _mm_slli_epi16(last, 3));
      sum = _mm_add_epi16(sum, _mm_mullo_epi16(w2, d2));
      sum = _mm_add_epi16(sum, _mm_mullo_epi16(w3, d3));
      const __m128i prediction = _mm_add_epi16(_mm_srai_epi16(sum, 3), _mm_and_si128(d1_before, round));
      const __m128i residual = _mm_sub_epi16(prediction, x);
      // 8 * the low byte taken as signed: up by 8 bits, down by 5.
      const __m128i f = _mm_srai_epi16(_mm_slli_epi16(residual, 8), 5);
      e0 = _mm_add_epi16(e0, abs16(f));
      e1 = _mm_add_epi16(e1, abs16(_mm_sub_epi16(f, d1)));
      e2 = _mm_add_epi16(e2, abs16(_mm_add_epi16(f, d1)));
      e3 = _mm_add_epi16(e3, abs16(_mm_sub_epi16(f, d2)));
      e4 = _mm_add_epi16(e4, abs16(_mm_add_epi16(f, d2)));
      e5 = _mm_add_epi16(e5, abs16(_mm_sub_epi16(f, d3)));
      e6 = _mm_add_epi16(e6, abs16(_mm_add_epi16(f, d3)));
      return _mm_and_si128(residual, low_bytes);
    };
    for (uint32_t k = 0; k < ADAPT_PERIOD; k += 16) {
      const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k));
      const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 1));
      const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 2));
      const __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 3));
      const __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 4));
      const __m128i d1 = _mm_sub_epi8(x3, x2);
      const __m128i d1_previous = _mm_sub_epi8(x2, x1);
      const __m128i d1_before = _mm_sub_epi8(x1, x0);
      const __m128i low = eight(sign_extend_low(d1), sign_extend_low(d1_previous), sign_extend_low(d1_before),
                                _mm_unpacklo_epi8(x3, zero), _mm_unpacklo_epi8(x4, zero));
      const __m128i high = eight(sign_extend_high(d1), sign_extend_high(d1_previous),
                                 sign_extend_high(d1_before), _mm_unpackhi_epi8(x3, zero), _mm_unpackhi_epi8(x4, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y + k), _mm_packus_epi16(low, high));
    }
    const __m128i* step = reinterpret_cast<const __m128i*>(WEIGHT_STEPS.lanes[first_smallest(e0, e1, e2, e3, e4, e5, e6)][0]);
    w1 = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(w1, _mm_load_si128(step)), lowest), highest);
    w2 = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(w2, _mm_load_si128(step + 1)), lowest), highest);
    w3 = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(w3, _mm_load_si128(step + 2)), lowest), highest);
  }
  w.w1 = static_cast<int16_t>(_mm_cvtsi128_si32(w1));
  w.w2 = static_cast<int16_t>(_mm_cvtsi128_si32(w2));
  w.w3 = static_cast<int16_t>(_mm_cvtsi128_si32(w3));
}

#if TARN_LMS_AVX2

TARN_AVX2 inline __m128i halves_added(__m256i e) {
  return _mm_add_epi16(_mm256_castsi256_si128(e), _mm256_extracti128_si256(e, 1));
}

// The weights after a period, w1, w2 and w3 in lanes 0, 1 and 2, from its
// error sums' halves. They stay in vector registers: the next period waits
// on them. The processor's search for the smallest unsigned lane gives the
// first on a tie and puts its index k in lane 1; weight j moves down when
// k is 2j - 1 and up when k is 2j (an equal lane compares as -1), within
// [-17, 16].
TARN_AVX2 inline __m128i stepped_weights(__m128i weights, __m256i e0, __m256i e1, __m256i e2, __m256i e3, __m256i e4,
                                         __m256i e5, __m256i e6) {
  const __m128i sums = error_sums(halves_added(e0), halves_added(e1), halves_added(e2), halves_added(e3),
                                  halves_added(e4), halves_added(e5), halves_added(e6));
  const __m128i best = _mm_shufflelo_epi16(_mm_minpos_epu16(sums), 0x55);
  const __m128i step = _mm_sub_epi16(_mm_cmpeq_epi16(best, _mm_setr_epi16(1, 3, 5, -1, -1, -1, -1, -1)),
                                     _mm_cmpeq_epi16(best, _mm_setr_epi16(2, 4, 6, -1, -1, -1, -1, -1)));
  return _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(weights, step), _mm_set1_epi16(-17)), _mm_set1_epi16(16));
}

// As lms_full_periods, sixteen positions to a register: a period is two
// registers' work, and an absolute value is one operation. Each error sum's
// two halves are added, and the choice is then made on the same sums.
TARN_AVX2 void lms_full_periods_wide(const uint8_t* h, uint8_t* y, uint32_t periods, LmsWeights& w,
                                     int32_t round_mask) {
  const __m256i round = _mm256_set1_epi16(static_cast<int16_t>(round_mask));
  const __m256i low_bytes = _mm256_set1_epi16(0xFF);
  __m128i weights = _mm_setr_epi16(static_cast<int16_t>(w.w1), static_cast<int16_t>(w.w2), static_cast<int16_t>(w.w3),
                                   0, 0, 0, 0, 0);
  for (uint32_t period = 0; period < periods; ++period, h += ADAPT_PERIOD, y += ADAPT_PERIOD) {
    const __m256i w1 = _mm256_broadcastw_epi16(weights);
    const __m256i w2 = _mm256_broadcastw_epi16(_mm_srli_si128(weights, 2));
    const __m256i w3 = _mm256_broadcastw_epi16(_mm_srli_si128(weights, 4));
    __m256i e0 = _mm256_setzero_si256(), e1 = e0, e2 = e0, e3 = e0, e4 = e0, e5 = e0, e6 = e0;
    for (uint32_t k = 0; k < ADAPT_PERIOD; k += 16) {
      const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k));
      const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 1));
      const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 2));
      const __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 3));
      const __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k + 4));
      const __m256i d1 = _mm256_cvtepi8_epi16(_mm_sub_epi8(x3, x2));
      const __m256i d1_previous = _mm256_cvtepi8_epi16(_mm_sub_epi8(x2, x1));
      const __m256i d1_before = _mm256_cvtepi8_epi16(_mm_sub_epi8(x1, x0));
      const __m256i d2 = _mm256_sub_epi16(d1, d1_previous);
      const __m256i d3 = _mm256_sub_epi16(d1_previous, d1_before);
      // Paired so that the products, which wait on the weights, meet soonest.
      const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(w1, d1), _mm256_mullo_epi16(w2, d2)),
                                           _mm256_add_epi16(_mm256_mullo_epi16(w3, d3),
                                                            _mm256_slli_epi16(_mm256_cvtepu8_epi16(x3), 3)));
      const __m256i prediction = _mm256_add_epi16(_mm256_srai_epi16(sum, 3), _mm256_and_si256(d1_before, round));
      const __m256i residual = _mm256_sub_epi16(prediction, _mm256_cvtepu8_epi16(x4));
      const __m256i f = _mm256_srai_epi16(_mm256_slli_epi16(residual, 8), 5);
      e0 = _mm256_add_epi16(e0, _mm256_abs_epi16(f));
      e1 = _mm256_add_epi16(e1, _mm256_abs_epi16(_mm256_sub_epi16(f, d1)));
      e2 = _mm256_add_epi16(e2, _mm256_abs_epi16(_mm256_add_epi16(f, d1)));
      e3 = _mm256_add_epi16(e3, _mm256_abs_epi16(_mm256_sub_epi16(f, d2)));
      e4 = _mm256_add_epi16(e4, _mm256_abs_epi16(_mm256_add_epi16(f, d2)));
      e5 = _mm256_add_epi16(e5, _mm256_abs_epi16(_mm256_sub_epi16(f, d3)));
      e6 = _mm256_add_epi16(e6, _mm256_abs_epi16(_mm256_add_epi16(f, d3)));
      const __m256i bytes = _mm256_and_si256(residual, low_bytes);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y + k),
                       _mm_packus_epi16(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1)));
    }
    weights = stepped_weights(weights, e0, e1, e2, e3, e4, e5, e6);
  }
  w.w1 = static_cast<int16_t>(_mm_extract_epi16(weights, 0));
  w.w2 = static_cast<int16_t>(_mm_extract_epi16(weights, 1));
  w.w3 = static_cast<int16_t>(_mm_extract_epi16(weights, 2));
}

#endif

#else

inline void lms_full_periods(const uint8_t* h, uint8_t* y, uint32_t periods, LmsWeights& w, int32_t round_mask) {
  int32_t errors[7];
  for (uint32_t period = 0; period < periods; ++period, h += ADAPT_PERIOD, y += ADAPT_PERIOD) {
    lms_period(h, y, ADAPT_PERIOD, w, round_mask, errors);
    adapt_weights(errors, w);
  }
}

#endif

void lms_residual(const uint8_t* in, uint8_t* out, uint32_t n, bool rounded) {
  lms_residual(in, out, n, rounded, LmsLanes::widest);
}

namespace {

// The residual made a part at a time, each part going on from the weights
// and bytes the one before left.
class LmsResidual {
 public:
  LmsResidual(const uint8_t* in, uint8_t* out, bool rounded, LmsLanes lanes = LmsLanes::widest)
      : in_(in), out_(out), round_mask_(rounded ? 1 : 0) {
#if TARN_LMS_AVX2
    wide_ = lanes == LmsLanes::widest && cpu_has_avx2();
#else
    static_cast<void>(lanes);
#endif
  }

  // Makes out[made, end). Every end but the block's own is one past a
  // multiple of LMS_CHUNK, so that only the block's last period is short.
  void make_to(uint32_t end);

 private:
  const uint8_t* in_;
  uint8_t* out_;
  int32_t round_mask_;
  bool wide_ = false;
  LmsWeights w_;
  uint32_t made_ = 0;
  // The input comes through here a chunk of 128 periods at a time (out may
  // be in): history_[0..3] are the four bytes before the chunk (0 before the
  // block), then the chunk's own bytes.
  uint8_t history_[4 + LMS_CHUNK];
};

void LmsResidual::make_to(uint32_t end) {
  if (made_ == 0 && end > 0) {
    // Position 0 is a period of its own.
    int32_t errors[7];
    std::memset(history_, 0, 4);
    history_[4] = in_[0];
    lms_period(history_, out_, 1, w_, round_mask_, errors);
    adapt_weights(errors, w_);
    history_[3] = history_[4];
    made_ = 1;
  }
  while (made_ < end) {
    const uint32_t start = made_;
    const uint32_t chunk = end - start < LMS_CHUNK ? end - start : LMS_CHUNK;
    std::memcpy(history_ + 4, in_ + start, chunk);
    const uint32_t periods = chunk / ADAPT_PERIOD;
    const uint32_t k = periods * ADAPT_PERIOD;
#if TARN_LMS_AVX2
    if (wide_)
      lms_full_periods_wide(history_, out_ + start, periods, w_, round_mask_);
    else
#endif
      lms_full_periods(history_, out_ + start, periods, w_, round_mask_);
    // The last, shorter period: no adapting after it.
    if (k < chunk) {
      int32_t errors[7];
      lms_period(history_ + k, out_ + start + k, chunk - k, w_, round_mask_, errors);
    }
    std::memmove(history_, history_ + chunk, 4);
    made_ += chunk;
  }
}

}  // namespace

void lms_residual(const uint8_t* in, uint8_t* out, uint32_t n, bool rounded, LmsLanes lanes) {
  if (n == 0) return;
  LmsResidual(in, out, rounded, lanes).make_to(n);
}

void lms_restore(uint8_t* block, uint32_t n) {
  LmsPredictor predictor;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t y = block[i];
    const uint8_t x = static_cast<uint8_t>(predictor.predict(false) - y);
    block[i] = x;
    predictor.update(y, x, i);
  }
}

void delta_encode(uint8_t* block, uint32_t n) {
  uint8_t previous = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t x = block[i];
    block[i] = static_cast<uint8_t>(x - previous);
    previous = x;
  }
}

void delta_decode(uint8_t* block, uint32_t n) {
  uint8_t previous = 0;
  for (uint32_t i = 0; i < n; ++i) {
    previous = static_cast<uint8_t>(block[i] + previous);
    block[i] = previous;
  }
}

// Whether the residual, of which `made` are the sums so far with `left`
// bytes still to come, is bound to cost more than `block_cost`. A coded byte
// has a list position of at least 1, so each byte left lowers
// position_sum - block_cost * coded by at most block_cost - 1 (and raises
// it when block_cost is below 1). A margin of 1 covers the rounding of the
// doubles, whose terms stay below 2^29.
bool residual_costs_more(const MtfSums& made, uint32_t left, double block_cost) {
  const double fall = block_cost > 1.0 ? (block_cost - 1.0) * left : 0.0;
  return static_cast<double>(made.position_sum) - block_cost * static_cast<double>(made.coded) - fall >= 1.0;
}

namespace {

// Model 1 or 2 for a block found to be a signal, applied.
uint32_t apply_signal_model(uint8_t* block, uint32_t n, double residual_cost, SortScratch& scratch) {
  const double sorted_cost = context_sorted_cost(block, n, mtf_cost16, scratch);
  if (sorted_cost >= residual_cost) {
    lms_residual(block, block, n, false);  // the estimate behind the block stays
    return 2;
  }
  delta_encode(block, n);
  return 1;
}

// One channel: the block's own pass decides alone whether it may be a
// signal. The residual is then made and measured a part at a time, and the
// decision ends as soon as the parts made show that it cannot cost less
// than the block: records get there about halfway, text after about 70 %.
uint32_t select_one_channel(uint8_t* work, uint32_t n, SortScratch& scratch, double* plain_cost8) {
  uint8_t* block = work;
  uint8_t* residual = work + n;
  const MtfSums own = MtfMeter(block).measure_to(n);
  const double block_cost = own.cost16();
  if (plain_cost8) *plain_cost8 = own.cost8();
  const double repeat_percent = static_cast<double>(own.repeats) * 100.0 / static_cast<double>(n);
  if (!(repeat_percent < REPEAT_PERCENT_LIMIT && !(block_cost > NOISE_COST))) return 0;

  LmsResidual estimate(block, residual, true);
  MtfMeter meter(residual);
  MtfSums made;
  for (uint32_t at = 0; at < n;) {
    const uint32_t end = std::min(n, at == 0 ? RESIDUAL_PART + 1 : at + RESIDUAL_PART);
    estimate.make_to(end);
    made.add(meter.measure_to(end));
    at = end;
    if (at < n && residual_costs_more(made, n - at, block_cost)) return 0;
  }
  const double residual_cost = made.cost16();
  if (!(residual_cost < block_cost)) return 0;
  return apply_signal_model(block, n, residual_cost, scratch);
}

}  // namespace

uint32_t select_mm_model(uint8_t* work, uint32_t n, uint32_t stride_parameter, SortScratch& scratch,
                         double* plain_cost8) {
  if (stride_parameter == 0) return select_one_channel(work, n, scratch, plain_cost8);
  const uint32_t channels = stride_parameter + 1;
  const uint32_t q = n / channels;  // bytes past channels * q take no part
  uint8_t* block = work;
  uint8_t* residual = work + n;
  // The block's channels decide alone whether it may be a signal; only
  // then is the residual made and its channels measured. Each sum still
  // adds its channels in order.
  double block_sum = 0.0;
  double repeat_sum = 0.0;
  uint32_t noisy = 0;
  for (uint32_t j = 0; j < channels; ++j) {
    const MtfSums own = MtfMeter(block + j * q).measure_to(q);
    const double block_cost = own.cost16();
    if (block_cost > NOISE_COST) ++noisy;
    block_sum += block_cost;
    repeat_sum += static_cast<double>(own.repeats) * 100.0 / static_cast<double>(q);
  }
  const double h = static_cast<double>(channels);
  const double x = block_sum / h;
  const double g = repeat_sum / h;
  if (!(g < REPEAT_PERCENT_LIMIT && 2 * noisy <= channels)) return 0;
  lms_residual(block, residual, n, true);
  double residual_sum = 0.0;
  for (uint32_t j = 0; j < channels; ++j) residual_sum += mtf_cost16(residual + j * q, q);
  const double r = residual_sum / h;
  if (!(r < x)) return 0;
  return apply_signal_model(block, n, mtf_cost16(residual, n), scratch);
}

uint8_t try_stride_and_mm_filters(uint8_t* work, uint32_t& length, bool stride_allowed,
                                  bool mm_allowed) {
  SortScratch scratch;
  return try_stride_and_mm_filters(work, length, stride_allowed, mm_allowed, scratch);
}

uint8_t try_stride_and_mm_filters(uint8_t* work, uint32_t& length, bool stride_allowed,
                                  bool mm_allowed, SortScratch& scratch, double* plain_cost8) {
  const uint32_t n = length;
  if (plain_cost8) *plain_cost8 = -1.0;
  if (n < MIN_SIGNAL_BLOCK) return 0;
  uint32_t stride_parameter = 0;
  if (stride_allowed) {
    stride_parameter = detect_stride(work, n);
    if (stride_parameter != 0) transpose_by_stride(work, n, stride_parameter);
  }
  double measured_cost8 = -1.0;
  const uint32_t model = mm_allowed ? select_mm_model(work, n, stride_parameter, scratch, &measured_cost8) : 0;
  if (stride_parameter == 0 && model == 0) {
    if (plain_cost8) *plain_cost8 = measured_cost8;  // the block is as it came
    return 0;
  }
  constexpr uint8_t FAMILY_OF_MODEL[3] = {BLOCK_STRIDE, BLOCK_DELTA, BLOCK_LMS};
  return static_cast<uint8_t>(FAMILY_OF_MODEL[model] | stride_parameter);
}

void undo_stride_and_mm_filters(uint8_t* work, uint32_t& length, uint8_t block_type) {
  if (length > MAX_UNDO) length = MAX_UNDO;
  const uint32_t stride_parameter = block_type & 15;
  if (block_family(block_type) == BLOCK_DELTA) delta_decode(work, length);
  if (block_family(block_type) == BLOCK_LMS) lms_restore(work, length);
  if (stride_parameter != 0) untranspose_by_stride(work, length, stride_parameter);
}

}  // namespace tarn
