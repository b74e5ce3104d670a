// The pseudo-random numbers that choose sort pivots.
//
// The sorts draw their pivots from a generator that is never seeded, so every
// run draws the same sequence. The order of entries with equal sort keys, and
// therefore archive bytes, depend on it, so it is fixed here rather than left
// to the C library: state = state * 214013 + 2531011 (mod 2^32), result
// bits 30..16 of the new state, state 1 at the start. One generator serves a
// whole run: the name sort draws first, the key sort continues the sequence.
#pragma once

#include <cstdint>

namespace tarn {

class PivotGenerator {
 public:
  uint32_t next() {
    state_ = state_ * 214013u + 2531011u;  // wraps modulo 2^32
    return (state_ >> 16) & 0x7FFFu;
  }

 private:
  uint32_t state_ = 1;
};

}  // namespace tarn
