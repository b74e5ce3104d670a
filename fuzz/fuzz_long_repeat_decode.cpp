// The long-repeat restore on arbitrary coded buffers. Input: the plain
// length and the coded length (3 bytes each, kept below 1 MiB so runs stay
// fast), then the coded bytes. The lengths reach the prepass through its
// own range-coded header, as in a chunk stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "coder/byte_io.h"
#include "coder/long_repeat.h"
#include "coder/range_coder.h"
#include "common/error.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn::fuzz::Params params(data, size);
  const uint32_t plain = params.take(3) & 0xFFFFF;
  const uint32_t coded = params.take(3) & 0xFFFFF;
  tarn::ByteSink header_bytes;
  tarn::RangeEncoder encoder(header_bytes);
  encoder.init();
  tarn::LongRepeat::encode_u24(encoder, plain);
  encoder.encode_bits(1, 1);
  tarn::LongRepeat::encode_u24(encoder, coded);
  encoder.flush();

  static tarn::LongRepeat prepass;
  tarn::MemorySource in(header_bytes.bytes());
  tarn::RangeDecoder decoder(in);
  decoder.init();
  const tarn::PrepassHeader header = tarn::LongRepeat::read_header(decoder);
  if (header.coded_length != coded) std::abort();
  std::vector<uint8_t> buffer(params.rest(), params.rest() + params.rest_size());
  try {
    if (prepass.long_repeat_decode(buffer, header) != plain || buffer.size() != plain) std::abort();
  } catch (const tarn::TarnError&) {
  }
  return 0;
}
