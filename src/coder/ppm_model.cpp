// Placeholder: codes every byte as a raw 8-bit value so that streams round
// trip until the real model lands.
#include "coder/ppm_model.h"

namespace tarn {

PpmModel::PpmModel() = default;
PpmModel::~PpmModel() = default;

void PpmModel::start(unsigned, uint32_t, bool) {}
void PpmModel::stop_suballocator() {}

void PpmModel::encode_block(RangeEncoder& coder, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) coder.encode_bits(data[i], 8);
}

void PpmModel::decode_block(RangeDecoder& coder, uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(coder.decode_bits(8));
}

}  // namespace tarn
