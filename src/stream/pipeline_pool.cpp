#include "stream/pipeline_pool.h"

#include <new>

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

}  // namespace tarn
