// Predicted-byte coder for nearly random blocks (block type 0x60).
//
// Such blocks are not worth a context model: their bytes go out as 8-bit
// literals. The one regularity kept is a byte that keeps following the same
// previous byte. For each previous-byte value the table remembers the byte
// that followed last time and how many times in a row that came true
// (confidence, saturating at 10). From confidence 3 on, a one-symbol flag
// out of 256 says hit or miss, weighted by HIT_WEIGHT: a hit at confidence 10
// costs almost nothing, a miss costs the flag plus the literal and resets the
// confidence. Below 3 every byte is a literal, hit or not.
//
// Every interval has the total 256 and goes through the 8-bit shift form of
// the range coder. The table carries over from block to block until
// byte_predictor_reset; the previous byte starts at 0 in every block.
#pragma once

#include <cstdint>

#include "coder/range_coder.h"

namespace tarn {

class BytePredictor {
 public:
  static constexpr uint8_t MAX_CONFIDENCE = 10;
  static constexpr uint8_t MIN_FLAG_CONFIDENCE = 3;
  // Weight of a hit out of 256 by confidence; below 3 no flag is coded.
  static constexpr uint16_t HIT_WEIGHT[11] = {0, 0, 0, 128, 130, 135, 142, 168, 198, 220, 253};

  struct Entry {
    uint8_t confidence = 0;
    uint8_t predicted = 0;
  };

  BytePredictor() { byte_predictor_reset(); }

  void byte_predictor_reset();
  void encode(RangeEncoder& coder, const uint8_t* bytes, uint32_t count);
  void decode(RangeDecoder& coder, uint8_t* bytes, uint32_t count);

  const Entry& entry(uint8_t previous) const { return table_[previous]; }

 private:
  Entry table_[256];
};

}  // namespace tarn
