// Pipelines waiting for their next stream.
//
// Setting up a pipeline (a model heap of tens of megabytes, a work buffer of
// two) costs more than packing a small file, so the drivers take pipelines
// from a pool: a stream borrows one and hands it back reset -- zeroed where
// the stream wrote -- so that the next stream starts exactly as on a new
// one. The pool holds at most one pipeline per stream coded at the same
// time, so one per worker.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "pipeline/block_pipeline.h"

namespace tarn {

class PipelinePool {
 public:
  std::unique_ptr<BlockPipeline> acquire();
  // A pipeline whose stream ended normally, reset for the next one.
  void give_back(std::unique_ptr<BlockPipeline> pipeline) noexcept;

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<BlockPipeline>> idle_;
};

}  // namespace tarn
