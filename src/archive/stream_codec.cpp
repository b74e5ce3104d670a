#include "archive/stream_codec.h"

#include "archive/format.h"
#include "common/error.h"

namespace tarn {

StreamCodec::StreamCodec(const CodingSetup& setup) {
  if (!is_packing_method(setup.method)) raise_error(ErrorCode::HEADER_DAMAGE);
  const MethodParameters& row = METHOD_PARAMETERS[setup.method];
  pipeline_.set_coding_options(setup.method, setup.text, setup.exe, setup.mm, setup.lowred, setup.swap);
  pipeline_.order0_model_reset();
  pipeline_.byte_predictor_reset();
  pipeline_.ppm_start(row.order, row.megabytes, row.cut_off);
  pipeline_.set_stream_position(0);
}

StreamCodec::~StreamCodec() { pipeline_.stop_suballocator(); }

void StreamCodec::compress_chunk(std::vector<uint8_t> chunk, ByteSink& out) {
  pipeline_.compress_buffer(std::move(chunk), out);
}

std::vector<uint8_t> StreamCodec::decode_chunk(ByteSource& in, ChunkTrace* trace) {
  return pipeline_.decode_buffer(in, trace);
}

std::vector<uint8_t> pack_group_stream(const CodingSetup& setup, std::vector<uint8_t> group) {
  StreamCodec codec(setup);
  ByteSink sink;
  codec.compress_chunk(std::move(group), sink);
  return std::move(sink.bytes());
}

}  // namespace tarn
