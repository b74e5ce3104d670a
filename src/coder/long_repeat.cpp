// Long-repeat prepass; see the header.
#include "coder/long_repeat.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "common/byte_order.h"
#include "common/error.h"

namespace tarn {
namespace {

constexpr uint32_t MEDIUM_LIMIT = 500;   // shorter repetitions count as medium
constexpr uint32_t LONG_LIMIT = 20000;   // longer ones count ten times
constexpr uint32_t SHORT_CODE_MAX = 254;
constexpr uint32_t MID_CODE_BASE = 255;
constexpr uint32_t LONG_CODE_BASE = 65790;
constexpr uint32_t MIN_REPEAT = LongRepeat::MIN_REPEAT;

template <typename T>
void allocate(std::vector<T>& v, size_t size) {
  try {
    v.assign(size, T{});
  } catch (const std::bad_alloc&) {
    raise_error(ErrorCode::OUT_OF_MEMORY);
  }
}

// How many bytes a and b have in common from the start, at most `limit`;
// eight at a time, the first difference found in the exclusive or.
inline uint32_t common_length(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t length = 0;
  while (limit - length >= 8) {
    uint64_t x, y;
    std::memcpy(&x, a + length, 8);
    std::memcpy(&y, b + length, 8);
    if (const uint64_t diff = x ^ y; diff != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return length + static_cast<uint32_t>(std::countr_zero(diff)) / 8;
      } else {
        return length + static_cast<uint32_t>(std::countl_zero(diff)) / 8;
      }
    }
    length += 8;
  }
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

// Whether the MIN_REPEAT bytes at a and b agree: one test of all their
// differences, no branch per word.
inline bool same_min_repeat(const uint8_t* a, const uint8_t* b) {
  uint64_t diff = 0;
  for (uint32_t k = 0; k < MIN_REPEAT; k += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + k, 8);
    std::memcpy(&y, b + k, 8);
    diff |= x ^ y;
  }
  return diff == 0;
}

constexpr uint32_t STRETCH = 4096;  // positions scanned between two looks at the decision
constexpr uint32_t BOTH_ENDS_SHARE = 8;  // both ends are tested after a stretch of over STRETCH / 8 head hits

// Whether the prepass cannot apply, whatever the bytes from p on hold, once
// the coded length has reached `at_least` (the literal bytes before p
// included). The coded length only grows, and the n - p bytes left can add
// at most (n - p) / 500 to the long score: a long repetition takes 500 bytes
// or more for 1, and over 20,000 for 10.
inline bool cannot_apply(uint32_t n, uint32_t p, uint32_t at_least, uint32_t medium, uint32_t long_score) {
  return at_least >= n / 3 && long_score + (n - p) / MEDIUM_LIMIT <= 3 * medium;
}

}  // namespace

uint32_t LongRepeat::context_hash(const uint8_t* data, uint32_t p) {
  uint32_t x = load_le32(data + p - 4) ^ load_le32(data + p - 8);
  return (x ^ (x >> 15) ^ (x << 3)) & 0xFFFFu;
}

uint32_t LongRepeat::length_code_size(uint32_t v) { return v <= SHORT_CODE_MAX ? 1 : v < LONG_CODE_BASE ? 3 : 6; }

void LongRepeat::write_length_code(uint8_t* out, uint32_t& pos, uint32_t v) {
  if (v <= SHORT_CODE_MAX) {
    out[pos++] = static_cast<uint8_t>(v);
  } else if (v < LONG_CODE_BASE) {
    uint32_t w = v - MID_CODE_BASE;  // at most 65,534: never FF FF
    out[pos++] = 0xFF;
    out[pos++] = static_cast<uint8_t>(w >> 8);
    out[pos++] = static_cast<uint8_t>(w);
  } else {
    uint32_t u = v - LONG_CODE_BASE;
    out[pos++] = 0xFF;
    out[pos++] = 0xFF;
    out[pos++] = 0xFF;
    out[pos++] = static_cast<uint8_t>(u >> 16);
    out[pos++] = static_cast<uint8_t>(u >> 8);
    out[pos++] = static_cast<uint8_t>(u);
  }
}

uint32_t LongRepeat::read_length_code(const uint8_t* data, uint32_t size, uint32_t& pos) {
  auto at = [&](uint32_t k) -> uint32_t { return pos + k < size ? data[pos + k] : 0u; };
  uint32_t v;
  if (at(0) != 0xFF) {
    v = at(0);
    pos += 1;
  } else if (uint32_t w = (at(1) << 8) | at(2); w != 0xFFFF) {
    v = w + MID_CODE_BASE;
    pos += 3;
  } else {
    v = ((at(3) << 16) | (at(4) << 8) | at(5)) + LONG_CODE_BASE;
    pos += 6;
  }
  return v;
}

void LongRepeat::encode_u24(RangeEncoder& coder, uint32_t value) {
  coder.encode_bits(value & 0x3FFF, 14);
  coder.encode_bits(value >> 14, 10);
}

uint32_t LongRepeat::decode_u24(RangeDecoder& coder) {
  uint32_t low = coder.decode_bits(14);
  uint32_t high = coder.decode_bits(10);
  if (low >= (1u << 14) || high >= (1u << 10)) raise_error(ErrorCode::HEADER_DAMAGE);
  return low + (high << 14);
}

void LongRepeat::clear_table() {
  if (table_.size() != TABLE_SIZE) {
    allocate(table_, TABLE_SIZE);
  } else {
    std::fill(table_.begin(), table_.end(), 0u);
  }
}

template <bool BOTH_ENDS>
uint32_t LongRepeat::scan_stretch(const uint8_t* b, uint32_t n, uint32_t stretch_end, ScanPoint& at) {
  // Nothing is asked for early: the table entry and the bytes it points to
  // are read at the position itself. The test against the prediction rarely
  // goes the unexpected way, so the processor runs far enough ahead on its
  // own; hashes computed ahead and prefetches for them measured slower.
  uint32_t* table = table_.data();
  uint32_t p = at.p;
  uint32_t literal = at.literal;
  uint32_t coded = at.coded;
  uint32_t head_hits = 0;
  while (p <= stretch_end) {
    const uint32_t h = context_hash(b, p);
    const uint32_t s = table[h];
    table[h] = p;
    const uint64_t head = load_le64(b + p) ^ load_le64(b + s);
    if constexpr (BOTH_ENDS) {
      head_hits += head == 0 ? 1 : 0;
      if ((head | (load_le64(b + p + MIN_REPEAT - 8) ^ load_le64(b + s + MIN_REPEAT - 8))) != 0) {
        ++p;
        continue;
      }
    } else {
      if (head != 0) {
        ++p;
        continue;
      }
      ++head_hits;
    }
    if (!same_min_repeat(b + p, b + s)) {
      ++p;
      continue;
    }
    const uint32_t length = take_repetition(b, n, p, s);
    coded += p + MIN_REPEAT - literal + length_code_size(length - MIN_REPEAT);
    p += length;
    literal = p;
  }
  at = {p, literal, coded};
  return head_hits;
}

uint32_t LongRepeat::take_repetition(const uint8_t* b, uint32_t n, uint32_t p, uint32_t s) {
  const uint32_t length = MIN_REPEAT + common_length(b + p + MIN_REPEAT, b + s + MIN_REPEAT, n - p - MIN_REPEAT);
  if (length < MEDIUM_LIMIT) {
    ++medium_;
  } else if (length <= LONG_LIMIT) {
    long_score_ += 1;
  } else {
    long_score_ += 10;
  }
  try {
    repetitions_.push_back({p, length});
  } catch (const std::bad_alloc&) {
    raise_error(ErrorCode::OUT_OF_MEMORY);
  }
  return length;
}

void LongRepeat::long_repeat_encode(std::vector<uint8_t>& buffer) {
  const auto n = static_cast<uint32_t>(buffer.size());
  plain_length_ = n;
  prepass_applied_ = 0;
  coded_length_ = n;
  medium_ = 0;
  long_score_ = 0;
  scanned_ = 0;
  if (n < MIN_BUFFER) return;

  // The scan only finds the repetitions and counts the coded length; the
  // coded copy is written only when the prepass is applied, which it rarely
  // is.
  const uint8_t* b = buffer.data();
  repetitions_.clear();
  uint32_t o_pos = 8;
  clear_table();

  // Bytes from `literal` up to p are output unchanged. A repetition needs
  // MIN_REPEAT bytes, so the scan ends at the last position that has them:
  // the table is not read after it.
  //
  // The scan goes by stretches of STRETCH positions and stops once the rest
  // of the buffer can no longer make the prepass apply; the counts are then
  // those of the part scanned.
  uint32_t literal = 8;
  uint32_t p = 8;
  const uint32_t last = n - MIN_REPEAT;
  bool refused = false;
  // The test against the prediction comes in two forms that decide alike.
  // Most positions of text differ from their prediction within 8 bytes,
  // which one test of those bytes tells. In records, where a third of the
  // positions agree with it there and nearly all differ further on, that
  // test goes either way and is mispredicted half the time; testing the
  // last 8 of the MIN_REPEAT bytes with it leaves far fewer positions to go
  // on with, at the price of loads that text does not need. Each stretch
  // takes the form its predecessor's first 8 bytes call for.
  ScanPoint at{p, literal, o_pos};
  uint32_t head_hits = 0;  // in the stretch before
  while (at.p <= last && !refused) {
    const uint32_t stretch_end = std::min(last, at.p + STRETCH);
    head_hits = BOTH_ENDS_SHARE * head_hits > STRETCH ? scan_stretch<true>(b, n, stretch_end, at)
                                                       : scan_stretch<false>(b, n, stretch_end, at);
    refused = at.p <= last && cannot_apply(n, at.p, at.coded + (at.p - at.literal), medium_, long_score_);
  }
  p = at.p;
  literal = at.literal;
  o_pos = at.coded;
  scanned_ = refused ? p : n;
  o_pos += n - literal;

  if (!refused && (long_score_ > 3 * medium_ || o_pos < n / 3)) {
    // Every repetition of 56 to 310 bytes adds at most one byte per 56 input
    // bytes, so this room is never exceeded.
    // Not zeroed: every byte up to o_pos is written before it is read.
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[static_cast<size_t>(n) + n / MIN_REPEAT + 16]);
    if (!out) raise_error(ErrorCode::OUT_OF_MEMORY);
    uint8_t* o = out.get();
    uint32_t at = 0;
    uint32_t from = 0;
    for (const Repetition& r : repetitions_) {
      std::copy(b + from, b + r.position + MIN_REPEAT, o + at);
      at += r.position + MIN_REPEAT - from;
      write_length_code(o, at, r.length - MIN_REPEAT);
      from = r.position + r.length;
    }
    std::copy(b + from, b + n, o + at);
    buffer.assign(o, o + o_pos);
    prepass_applied_ = 1;
    coded_length_ = o_pos;
  }
}

void LongRepeat::write_prepass_header(RangeEncoder& coder, const PrepassHeader& header) {
  encode_u24(coder, header.plain_length);
  coder.encode_bits(header.applied ? 1 : 0, 1);
  if (header.applied) encode_u24(coder, header.coded_length);
}

PrepassHeader LongRepeat::read_header(RangeDecoder& coder) {
  PrepassHeader header;
  header.plain_length = decode_u24(coder);
  header.applied = coder.decode_bits(1) != 0;
  header.coded_length = header.applied ? decode_u24(coder) : header.plain_length;
  return header;
}

uint32_t LongRepeat::long_repeat_decode(std::vector<uint8_t>& buffer, const PrepassHeader& header) {
  if (!header.applied) {
    buffer.resize(header.plain_length);
    return header.plain_length;
  }
  const uint32_t plain = header.plain_length;
  const uint32_t coded = header.coded_length;
  const auto d_size = static_cast<uint32_t>(buffer.size());
  const uint8_t* d = buffer.data();
  auto d_at = [&](uint32_t k) -> uint8_t { return k < d_size ? d[k] : 0; };

  // The slack behind plain_length takes the reads of a prediction that runs
  // past the last byte; the store rule keeps every write below plain_length
  // (or at 0 for a corrupt empty buffer).
  std::vector<uint8_t> restored;
  allocate(restored, static_cast<size_t>(plain) + RESTORE_SLACK);
  uint8_t* r = restored.data();
  clear_table();
  uint32_t* table = table_.data();

  uint32_t q = 8;
  auto store = [&](uint8_t byte) {
    r[q] = byte;
    if (q + 1 < plain) ++q;
  };
  for (uint32_t k = 0; k < 8; ++k) r[k] = d_at(k);

  uint32_t i = 8;
  while (i < coded) {
    const uint32_t q0 = q;
    uint32_t h = context_hash(r, q0);
    uint32_t s = table[h];
    table[h] = q0;
    uint32_t k = 0;
    while (k < MIN_REPEAT && i + k < coded && d_at(i + k) == r[s + k]) {
      store(d_at(i + k));
      ++k;
    }
    if (k == MIN_REPEAT) {
      i += MIN_REPEAT;
      uint32_t v = read_length_code(d, d_size, i);
      uint32_t copy = std::min(v, plain > q ? plain - q : 0u);
      for (uint32_t j = 0; j < copy; ++j) store(r[s + MIN_REPEAT + j]);
    } else {
      q = q0;
      store(d_at(i));
      ++i;
    }
  }

  restored.resize(plain);
  buffer.swap(restored);
  return plain;
}

}  // namespace tarn
