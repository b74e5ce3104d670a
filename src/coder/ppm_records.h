// The records that live in the PPM model's heap.
//
// Their sizes decide how much fits in the heap and so when the model runs out
// of memory; both sides of a stream must agree to the byte, on every
// platform. Every record is therefore a plain array of bytes: references are
// 32-bit byte offsets from the start of the heap (0 is null), multi-byte
// fields are little-endian, and there is no padding. A binary context keeps
// its single state in the bytes of `summ_freq` and `stats`; code that reads
// `summ_freq` of a binary context sees that state's symbol and frequency,
// exactly as the layout dictates.
#pragma once

#include <cstdint>

#include "common/byte_order.h"

namespace tarn {

inline constexpr uint32_t UNIT_SIZE = 12;

// One prediction of one symbol in one context.
struct PpmState {
  uint8_t symbol;
  uint8_t freq;
  uint8_t successor_le[4];  // null, a text position, or a context

  uint32_t successor() const { return load_le32(successor_le); }
  void set_successor(uint32_t ref) { store_le32(successor_le, ref); }
};
static_assert(sizeof(PpmState) == 6 && alignof(PpmState) == 1);

// One context: one unit.
struct PpmContext {
  uint8_t num_stats;  // symbols - 1; 0 = binary
  uint8_t flags;
  uint8_t summ_freq_le[2];
  uint8_t stats_le[4];
  uint8_t suffix_le[4];

  uint16_t summ_freq() const { return load_le16(summ_freq_le); }
  void set_summ_freq(uint32_t v) { store_le16(summ_freq_le, static_cast<uint16_t>(v)); }  // 16-bit wrap
  uint32_t stats() const { return load_le32(stats_le); }
  void set_stats(uint32_t ref) { store_le32(stats_le, ref); }
  uint32_t suffix() const { return load_le32(suffix_le); }
  void set_suffix(uint32_t ref) { store_le32(suffix_le, ref); }
  // The single state of a binary context, over summ_freq and stats.
  PpmState* one_state() { return reinterpret_cast<PpmState*>(summ_freq_le); }
  const PpmState* one_state() const { return reinterpret_cast<const PpmState*>(summ_freq_le); }
};
static_assert(sizeof(PpmContext) == UNIT_SIZE && alignof(PpmContext) == 1);

// Header at the start of every free block.
struct FreeBlock {
  uint8_t stamp_le[4];  // all ones marks a free block
  uint8_t next_le[4];
  uint8_t nu_le[4];

  uint32_t stamp() const { return load_le32(stamp_le); }
  void set_stamp(uint32_t v) { store_le32(stamp_le, v); }
  uint32_t next() const { return load_le32(next_le); }
  void set_next(uint32_t ref) { store_le32(next_le, ref); }
  uint32_t nu() const { return load_le32(nu_le); }
  void set_nu(uint32_t v) { store_le32(nu_le, v); }
};
static_assert(sizeof(FreeBlock) == UNIT_SIZE && alignof(FreeBlock) == 1);

inline constexpr uint32_t FREE_STAMP = 0xFFFFFFFFu;

// Adaptive escape estimator (lives in the model, not in the heap).
struct See2Context {
  uint16_t summ;
  uint8_t shift;
  uint8_t count;
};

}  // namespace tarn
