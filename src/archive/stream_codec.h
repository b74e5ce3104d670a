// One stream of the data area: a file or a solid group, packed or unpacked.
//
// A StreamCodec holds the whole codec state of one stream and runs the start
// sequence of the format before the first chunk: pipeline options, order-0
// and byte-predictor resets, the PPM start with the method's parameters and
// stream position 0. The model carries over from one chunk to the next
// within the stream. Since streams share nothing, several are packed at once.
//
// Setting up a pipeline (a model heap of tens of megabytes, a work buffer of
// two) costs more than packing a small file, so the drivers take pipelines
// from a PipelinePool: a codec borrows one for its stream and hands it back
// reset -- zeroed where the stream wrote -- so that the next stream starts
// exactly as on a new one. A codec made without a pool owns its pipeline and
// releases the heap when it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "coder/byte_io.h"
#include "pipeline/block_pipeline.h"

namespace tarn {

struct CodingSetup {
  uint8_t method = 3;
  bool text = true, exe = true, mm = true, lowred = true, swap = true;
};

// Pipelines waiting for their next stream; one per stream being coded at
// the same time at most, so one per worker.
class PipelinePool {
 public:
  std::unique_ptr<BlockPipeline> acquire();
  // A pipeline whose stream ended normally, reset for the next one.
  void give_back(std::unique_ptr<BlockPipeline> pipeline) noexcept;

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<BlockPipeline>> idle_;
};

class StreamCodec {
 public:
  // Raises HEADER_DAMAGE for a method without model parameters (0 or above 6).
  // Without a pool the codec makes its own pipeline.
  explicit StreamCodec(const CodingSetup& setup, PipelinePool* pool = nullptr);
  ~StreamCodec();
  StreamCodec(const StreamCodec&) = delete;
  StreamCodec& operator=(const StreamCodec&) = delete;

  // Appends the chunk stream of `chunk` (at most CHUNK_SIZE bytes) to `out`.
  void compress_chunk(std::vector<uint8_t> chunk, ByteSink& out);
  // Reads one chunk stream and returns its bytes.
  std::vector<uint8_t> decode_chunk(ByteSource& in, ChunkTrace* trace = nullptr);

 private:
  PipelinePool* pool_;
  std::unique_ptr<BlockPipeline> pipeline_;
  int exceptions_at_start_ = 0;
};

// A solid group's whole piece: its bytes (at most CHUNK_SIZE) as one chunk
// stream of a fresh model.
std::vector<uint8_t> pack_group_stream(const CodingSetup& setup, std::vector<uint8_t> group,
                                       PipelinePool* pool = nullptr);

}  // namespace tarn
