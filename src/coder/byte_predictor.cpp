// Predicted-byte coder; see the header.
#include "coder/byte_predictor.h"

namespace tarn {
namespace {

constexpr unsigned SHIFT = 8;
constexpr uint32_t SCALE = 256;

}  // namespace

void BytePredictor::byte_predictor_reset() {
  for (Entry& e : table_) e = Entry{};
}

void BytePredictor::encode(RangeEncoder& coder, const uint8_t* bytes, uint32_t count) {
  uint8_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t s = bytes[i];
    Entry& e = table_[previous];
    uint8_t k = e.confidence;
    if (s == e.predicted) {
      if (k < MIN_FLAG_CONFIDENCE) {
        coder.encode_bits(s, SHIFT);
      } else {
        coder.encode_shift(0, HIT_WEIGHT[k], SHIFT);
        coder.normalize();
      }
      if (k < MAX_CONFIDENCE) ++e.confidence;
    } else {
      if (k >= MIN_FLAG_CONFIDENCE) {
        coder.encode_shift(HIT_WEIGHT[k], SCALE, SHIFT);
        coder.normalize();
      }
      coder.encode_bits(s, SHIFT);
      e.confidence = 0;
      e.predicted = s;
    }
    previous = s;
  }
}

void BytePredictor::decode(RangeDecoder& coder, uint8_t* bytes, uint32_t count) {
  uint8_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Entry& e = table_[previous];
    uint8_t k = e.confidence;
    uint8_t s;
    if (k < MIN_FLAG_CONFIDENCE) {
      // A corrupt stream can give a count of 256 or more: its low 8 bits
      // make the byte.
      s = static_cast<uint8_t>(coder.decode_bits(SHIFT));
      if (s == e.predicted) {
        ++e.confidence;
      } else {
        e.confidence = 0;
        e.predicted = s;
      }
    } else {
      uint32_t c = coder.get_shift_freq(SHIFT);
      if (c < HIT_WEIGHT[k]) {
        coder.update(0, HIT_WEIGHT[k]);
        coder.normalize();
        s = e.predicted;
        if (k < MAX_CONFIDENCE) ++e.confidence;
      } else {
        coder.update(HIT_WEIGHT[k], SCALE);
        coder.normalize();
        e.confidence = 0;
        s = static_cast<uint8_t>(coder.decode_bits(SHIFT));
        e.predicted = s;
      }
    }
    bytes[i] = s;
    previous = s;
  }
}

}  // namespace tarn
