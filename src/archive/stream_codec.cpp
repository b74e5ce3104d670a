#include "archive/stream_codec.h"

#include <exception>

namespace tarn {

StreamCodec::StreamCodec(const CodingOptions& options, PipelinePool* pool)
    : pool_(pool),
      pipeline_(pool != nullptr ? pool->acquire() : std::make_unique<BlockPipeline>()),
      exceptions_at_start_(std::uncaught_exceptions()) {
  pipeline_->start_stream(options);
}

StreamCodec::~StreamCodec() {
  // A stream cut short by an error may have left the model anywhere: its
  // heap goes rather than back to the pool.
  if (pool_ != nullptr && std::uncaught_exceptions() == exceptions_at_start_) {
    pool_->give_back(std::move(pipeline_));
  } else {
    pipeline_->stop_suballocator();
  }
}

void StreamCodec::compress_chunk(std::vector<uint8_t> chunk, ByteSink& out) {
  pipeline_->compress_buffer(std::move(chunk), out);
}

std::vector<uint8_t> StreamCodec::decode_chunk(ByteSource& in, ChunkTrace* trace) {
  return pipeline_->decode_buffer(in, trace);
}

std::vector<uint8_t> pack_group_stream(const CodingOptions& options, std::vector<uint8_t> group, PipelinePool* pool) {
  ByteSink sink;
  StreamCodec codec(options, pool);
  codec.compress_chunk(std::move(group), sink);
  return std::move(sink.bytes());
}

}  // namespace tarn
