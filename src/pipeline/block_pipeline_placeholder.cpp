// Placeholder pipeline: the chunk-stream framing without segmentation,
// filters or prepass, so that drivers can be built and tested before the
// real pipeline lands. Streams it writes are valid chunk streams.
#include <algorithm>

#include "coder/ppm_model.h"
#include "coder/range_coder.h"
#include "pipeline/block_pipeline.h"
#include "pipeline/block_types.h"

namespace tarn {

struct BlockPipeline::State {
  PpmModel ppm;
  uint32_t stream_position = 0;
};

BlockPipeline::BlockPipeline() : state_(std::make_unique<State>()) {}
BlockPipeline::~BlockPipeline() = default;

void BlockPipeline::set_coding_options(uint8_t, bool, bool, bool, bool, bool) {}
void BlockPipeline::order0_model_reset() {}
void BlockPipeline::byte_predictor_reset() {}
void BlockPipeline::ppm_start(unsigned order, uint32_t megabytes, bool cut_off) {
  state_->ppm.start(order, megabytes << 20, cut_off);
}
void BlockPipeline::stop_suballocator() { state_->ppm.stop_suballocator(); }
void BlockPipeline::set_stream_position(uint32_t position) { state_->stream_position = position; }
uint32_t BlockPipeline::stream_position() const { return state_->stream_position; }

void BlockPipeline::compress_buffer(std::vector<uint8_t> buffer, ByteSink& out) {
  RangeEncoder coder(out);
  coder.init();
  auto n = static_cast<uint32_t>(buffer.size());
  coder.encode_bits(n & 0x3FFF, 14);
  coder.encode_bits(n >> 14, 10);
  coder.encode_bits(0, 1);
  for (uint32_t pos = 0; pos < n; pos += BLOCK_SIZE) {
    uint32_t len = std::min(BLOCK_SIZE, n - pos);
    coder.encode_bits(0, 8);
    coder.encode_bits(len & 0x3FFF, 14);
    coder.encode_bits(len >> 14, 5);
    state_->ppm.encode_block(coder, buffer.data() + pos, len);
    coder.normalize();
    state_->stream_position += len;
  }
  coder.flush();
}

std::vector<uint8_t> BlockPipeline::decode_buffer(ByteSource& in, ChunkTrace* trace) {
  RangeDecoder coder(in);
  coder.init();
  uint32_t n = coder.decode_bits(14);
  n += coder.decode_bits(10) << 14;
  coder.decode_bits(1);
  std::vector<uint8_t> out(n);
  if (trace) *trace = ChunkTrace{n, false, n, {}};
  uint32_t pos = 0;
  while (pos < n) {
    uint8_t type = static_cast<uint8_t>(coder.decode_bits(8));
    uint32_t len = coder.decode_bits(14);
    len += coder.decode_bits(5) << 14;
    if (len == 0 || len > n - pos) raise_error(ErrorCode::HEADER_DAMAGE);
    state_->ppm.decode_block(coder, out.data() + pos, len);
    coder.normalize();
    if (trace) trace->blocks.push_back({type, len, len});
    pos += len;
    state_->stream_position += len;
  }
  return out;
}

}  // namespace tarn
