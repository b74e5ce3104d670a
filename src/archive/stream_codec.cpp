#include "archive/stream_codec.h"

#include <exception>
#include <new>

#include "archive/format.h"
#include "common/error.h"

namespace tarn {

std::unique_ptr<BlockPipeline> PipelinePool::acquire() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<BlockPipeline> pipeline = std::move(idle_.back());
      idle_.pop_back();
      return pipeline;
    }
  }
  return std::make_unique<BlockPipeline>();
}

void PipelinePool::give_back(std::unique_ptr<BlockPipeline> pipeline) noexcept {
  pipeline->reset_for_next_stream();
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    idle_.push_back(std::move(pipeline));
  } catch (const std::bad_alloc&) {
    // Not kept, then: the pipeline and its heap simply go.
  }
}

StreamCodec::StreamCodec(const CodingSetup& setup, PipelinePool* pool)
    : pool_(pool),
      pipeline_(pool != nullptr ? pool->acquire() : std::make_unique<BlockPipeline>()),
      exceptions_at_start_(std::uncaught_exceptions()) {
  if (!is_packing_method(setup.method)) raise_error(ErrorCode::HEADER_DAMAGE);
  const MethodParameters& row = METHOD_PARAMETERS[setup.method];
  pipeline_->set_coding_options(setup.method, setup.text, setup.exe, setup.mm, setup.lowred, setup.swap);
  pipeline_->order0_model_reset();
  pipeline_->byte_predictor_reset();
  pipeline_->ppm_start(row.order, row.megabytes, row.cut_off);
  pipeline_->set_stream_position(0);
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

std::vector<uint8_t> pack_group_stream(const CodingSetup& setup, std::vector<uint8_t> group, PipelinePool* pool) {
  ByteSink sink;
  StreamCodec codec(setup, pool);
  codec.compress_chunk(std::move(group), sink);
  return std::move(sink.bytes());
}

}  // namespace tarn
