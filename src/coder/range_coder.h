// Carry-less range coder with 32-bit arithmetic.
//
// A model states each symbol as an interval [low_count, high_count) of a
// total; the coder narrows [low, low + range) to it and moves settled top
// bytes out, most significant first. There is no carry propagation: when the
// interval straddles a top-byte boundary while range has shrunk below 2^15,
// range is cut down to the distance from low to the next multiple of 2^15
// (the "bottom" rule), which costs a little precision and keeps every output
// byte final. All arithmetic wraps modulo 2^32 on purpose.
//
// The decoder mirrors each step and consumes exactly the bytes the encoder
// wrote, so consecutive streams need no separators.
#pragma once

#include <cstdint>

#include "coder/byte_io.h"

namespace tarn {

inline constexpr uint32_t RANGE_TOP = 1u << 24;
inline constexpr uint32_t RANGE_BOTTOM = 1u << 15;

class RangeEncoder {
 public:
  explicit RangeEncoder(ByteSink& out) : out_(&out) {}

  void init() {
    low_ = 0;
    range_ = 0xFFFFFFFFu;
  }

  void encode(uint32_t low_count, uint32_t high_count, uint32_t scale) {
    uint32_t r = range_ / scale;
    low_ += r * low_count;
    range_ = r * (high_count - low_count);
  }

  void encode_shift(uint32_t low_count, uint32_t high_count, unsigned bits) {
    uint32_t r = range_ >> bits;
    low_ += r * low_count;
    range_ = r * (high_count - low_count);
  }

  void normalize() {
    for (;;) {
      if (((low_ + range_) ^ low_) >= RANGE_TOP) {
        if (range_ >= RANGE_BOTTOM) break;
        range_ = (0u - low_) & (RANGE_BOTTOM - 1);
      }
      out_->put(static_cast<uint8_t>(low_ >> 24));
      range_ <<= 8;
      low_ <<= 8;
    }
  }

  // A raw value of `bits` bits (at most 15) with uniform probability.
  void encode_bits(uint32_t value, unsigned bits) {
    encode_shift(value, value + 1, bits);
    normalize();
  }

  void flush() {
    for (int i = 0; i < 4; ++i) {
      out_->put(static_cast<uint8_t>(low_ >> 24));
      low_ <<= 8;
    }
  }

  uint32_t low() const { return low_; }
  uint32_t range() const { return range_; }

 private:
  ByteSink* out_;
  uint32_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
};

class RangeDecoder {
 public:
  explicit RangeDecoder(ByteSource& in) : in_(&in) {}

  void init() {
    code_ = 0;
    low_ = 0;
    range_ = 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | in_->get();
  }

  // Divides range by scale and returns the count under the code; the model
  // finds the symbol whose interval holds it, then calls update().
  uint32_t get_freq(uint32_t scale) {
    const uint32_t offset = scale_range(scale);  // range_ is read after it changes
    return offset / range_;
  }
  uint32_t get_shift_freq(unsigned bits) {
    const uint32_t offset = shift_range(bits);
    return offset / range_;
  }

  // The same steps without the second division, for a model that only asks
  // whether the count lies below a bound: floor(offset / r) < bound exactly
  // when offset < bound * r, and the 64-bit product cannot wrap. scale_range
  // divides range and returns the offset of the code in it; below() then
  // answers "count < bound" for that offset.
  uint32_t scale_range(uint32_t scale) {
    range_ /= scale;
    return code_ - low_;
  }
  uint32_t shift_range(unsigned bits) {
    range_ >>= bits;
    return code_ - low_;
  }
  bool below(uint32_t offset, uint32_t bound) const {
    return offset < static_cast<uint64_t>(bound) * range_;
  }

  void update(uint32_t low_count, uint32_t high_count) {
    low_ += low_count * range_;
    range_ *= high_count - low_count;
  }

  void normalize() {
    for (;;) {
      if (((low_ + range_) ^ low_) >= RANGE_TOP) {
        if (range_ >= RANGE_BOTTOM) break;
        range_ = (0u - low_) & (RANGE_BOTTOM - 1);
      }
      code_ = (code_ << 8) | in_->get();
      range_ <<= 8;
      low_ <<= 8;
    }
  }

  uint32_t decode_bits(unsigned bits) {
    uint32_t value = get_shift_freq(bits);
    update(value, value + 1);
    normalize();
    return value;
  }

 private:
  ByteSource* in_;
  uint32_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  uint32_t code_ = 0;
};

}  // namespace tarn
