// Order-0 run-adaptive coder and the order-2 sort transform; see the header.
#include "coder/order0_coder.h"

#include <algorithm>
#include <new>

#include "common/error.h"

namespace tarn {
namespace {

constexpr uint32_t KEY_COUNT = 65536;

// The run that `symbol` continues: previous starts at 0 in every block, so a
// block that begins with byte 0 starts with run 1.
inline uint32_t next_run(uint8_t symbol, uint8_t& previous, uint32_t run) {
  if (symbol == previous) return run + 1;
  previous = symbol;
  return 0;
}

}  // namespace

void Order0Coder::order0_model_reset() {
  std::fill(std::begin(freq_), std::end(freq_), RESET_FREQ);
  std::fill(std::begin(group_), std::end(group_), static_cast<uint16_t>(RESET_FREQ << GROUP_BITS));
  total_ = RESET_TOTAL;
}

void Order0Coder::order0_update(uint8_t symbol, uint32_t run) {
  uint32_t increment = run < 4 ? 4 : (run <= 32 ? run : 8);
  freq_[symbol] = static_cast<uint16_t>(freq_[symbol] + increment);
  group_[symbol >> GROUP_BITS] = static_cast<uint16_t>(group_[symbol >> GROUP_BITS] + increment);
  uint32_t new_total = total_ + increment;
  if (new_total > RESCALE_LIMIT) {
    new_total = 0;
    for (unsigned g = 0; g < GROUPS; ++g) {
      uint32_t group_sum = 0;
      for (unsigned c = g << GROUP_BITS; c < (g + 1) << GROUP_BITS; ++c) {
        freq_[c] = static_cast<uint16_t>((freq_[c] + 1) >> 1);
        group_sum += freq_[c];
      }
      group_[g] = static_cast<uint16_t>(group_sum);
      new_total += group_sum;
    }
  }
  total_ = static_cast<uint16_t>(new_total);
}

void Order0Coder::order0_encode(RangeEncoder& coder, const uint8_t* bytes, uint32_t count) {
  uint8_t previous = 0;
  uint32_t run = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t s = bytes[i];
    run = next_run(s, previous, run);
    uint32_t low_count = 0;
    const unsigned g = s >> GROUP_BITS;
    for (unsigned k = 0; k < g; ++k) low_count += group_[k];
    for (unsigned c = g << GROUP_BITS; c < s; ++c) low_count += freq_[c];
    coder.encode(low_count, low_count + freq_[s], total_);
    coder.normalize();
    order0_update(s, run);
  }
}

void Order0Coder::order0_decode(RangeDecoder& coder, uint8_t* bytes, uint32_t count) {
  uint8_t previous = 0;
  uint32_t run = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t target = coder.get_freq(total_);
    // A count at or past the total only comes from a corrupt stream. The
    // search then goes on past 255 from value 0, still adding frequencies;
    // the full passes are skipped arithmetically so the search stays short.
    uint32_t passes = target / total_;
    uint32_t within = target % total_;
    // The first value whose cumulative count passes `within`: whole groups
    // first, then the values of one group. The frequencies always add up to
    // the total, so both walks end inside the table.
    uint32_t sum = 0;
    unsigned g = 0;
    while (g < GROUPS - 1 && sum + group_[g] <= within) sum += group_[g++];
    unsigned s = g << GROUP_BITS;
    while (s < 255 && sum + freq_[s] <= within) sum += freq_[s++];
    sum += freq_[s];
    uint32_t high_count = passes * total_ + sum;
    coder.update(high_count - freq_[s], high_count);
    coder.normalize();
    auto symbol = static_cast<uint8_t>(s);
    run = next_run(symbol, previous, run);
    order0_update(symbol, run);
    bytes[i] = symbol;
  }
}

void SortTransform::prepare_scratch(uint32_t n) {
  try {
    if (buckets_.size() != KEY_COUNT) buckets_.resize(KEY_COUNT);
    if (scratch_.size() < n) scratch_.resize(n);
  } catch (const std::bad_alloc&) {
    raise_error(ErrorCode::OUT_OF_MEMORY);
  }
  std::fill(buckets_.begin(), buckets_.end(), 0u);
}

void SortTransform::forward(uint8_t* b, uint32_t n) {
  b[n] = b[0];
  b[n + 1] = b[1];
  if (n < 2) return;
  prepare_scratch(n);
  uint32_t* start = buckets_.data();
  auto key_at = [&](uint32_t i) {
    // Context of position i, read cyclically: b[i - 2] low, b[i - 1] high.
    uint32_t i2 = (i + n - 2) % n;
    uint32_t i1 = (i + n - 1) % n;
    return static_cast<uint32_t>(b[i2]) | (static_cast<uint32_t>(b[i1]) << 8);
  };
  for (uint32_t i = 0; i < n; ++i) ++start[key_at(i)];
  uint32_t sum = 0;
  for (uint32_t k = 0; k < KEY_COUNT; ++k) {
    uint32_t c = start[k];
    start[k] = sum;
    sum += c;
  }
  uint8_t* out = scratch_.data();
  for (uint32_t i = 2; i < n; ++i) out[start[key_at(i)]++] = b[i];
  out[start[key_at(0)]++] = b[0];
  out[start[key_at(1)]++] = b[1];
  std::copy(out, out + n, b);
}

void SortTransform::inverse(uint8_t* t, uint32_t n) {
  if (n < 2) {
    if (n == 1) t[0] = t[1];
    return;
  }
  prepare_scratch(n);
  uint32_t cnt[256] = {};
  for (uint32_t j = 0; j < n; ++j) ++cnt[t[j]];
  uint32_t* start = buckets_.data();
  uint32_t j = 0;
  for (uint32_t a = 0; a < 256; ++a) {
    for (uint32_t e = j + cnt[a]; j < e; ++j) ++start[a | (static_cast<uint32_t>(t[j]) << 8)];
  }
  uint32_t sum = 0;
  for (uint32_t k = 0; k < KEY_COUNT; ++k) {
    uint32_t c = start[k];
    start[k] = sum;
    sum += c;
  }
  uint8_t* r = scratch_.data();
  r[0] = t[n];
  r[1] = t[n + 1];
  for (uint32_t i = 2; i < n; ++i) {
    uint32_t key = r[i - 2] | (static_cast<uint32_t>(r[i - 1]) << 8);
    uint32_t from = start[key]++;
    // Only a corrupt block can exhaust a bucket and walk off the end.
    r[i] = from < n ? t[from] : 0;
  }
  std::copy(r, r + n, t);
}

}  // namespace tarn
