#include "stream/stream_codec.h"

namespace tarn {

StreamCodec::StreamCodec(const CodingOptions& options, PipelinePool* pool)
    : pool_(pool), pipeline_(pool != nullptr ? pool->acquire() : std::make_unique<BlockPipeline>()) {
  pipeline_->start_stream(options);
}

StreamCodec::~StreamCodec() {
  if (pipeline_) pipeline_->stop_suballocator();
}

void StreamCodec::finish() {
  if (pipeline_ && pool_ != nullptr) pool_->give_back(std::move(pipeline_));
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
  codec.finish();
  return std::move(sink.bytes());
}

}  // namespace tarn
