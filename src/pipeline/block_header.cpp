// Block header coding; see the header file.
#include "pipeline/block_header.h"

#include "common/error.h"

namespace tarn {

void write_block_header(RangeEncoder& coder, uint8_t type, uint32_t length) {
  coder.encode_bits(type, BLOCK_TYPE_BITS);
  coder.encode_bits(length & ((1u << BLOCK_LENGTH_LOW_BITS) - 1), BLOCK_LENGTH_LOW_BITS);
  coder.encode_bits(length >> BLOCK_LENGTH_LOW_BITS, BLOCK_LENGTH_HIGH_BITS);
}

BlockHeader read_block_header(RangeDecoder& coder) {
  uint32_t type = coder.decode_bits(BLOCK_TYPE_BITS);
  uint32_t low = coder.decode_bits(BLOCK_LENGTH_LOW_BITS);
  uint32_t high = coder.decode_bits(BLOCK_LENGTH_HIGH_BITS);
  if ((type >> BLOCK_TYPE_BITS) != 0 || (low >> BLOCK_LENGTH_LOW_BITS) != 0 ||
      (high >> BLOCK_LENGTH_HIGH_BITS) != 0) {
    raise_error(ErrorCode::HEADER_DAMAGE);
  }
  return {static_cast<uint8_t>(type), (high << BLOCK_LENGTH_LOW_BITS) + low};
}

}  // namespace tarn
