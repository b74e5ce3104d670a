// One stream of the data area: a file or a solid group, packed or unpacked.
//
// A StreamCodec holds the whole codec state of one stream and starts it as
// the format orders (BlockPipeline::start_stream). The model carries over
// from one chunk to the next within the stream. Since streams share
// nothing, several are packed at once. With a PipelinePool the codec
// borrows its pipeline and, when the stream has ended normally (finish),
// hands it back for the next stream; a codec that goes without finishing
// (an error, a damaged stream) releases the pipeline and its heap, since
// its model may be anywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "coder/byte_io.h"
#include "stream/pipeline_pool.h"
#include "pipeline/block_pipeline.h"
#include "pipeline/coding_options.h"

namespace tarn {

class StreamCodec {
 public:
  // Raises HEADER_DAMAGE for a method without model parameters (0 or above 6).
  explicit StreamCodec(const CodingOptions& options, PipelinePool* pool = nullptr);
  ~StreamCodec();
  StreamCodec(const StreamCodec&) = delete;
  StreamCodec& operator=(const StreamCodec&) = delete;

  // Appends the chunk stream of `chunk` (at most CHUNK_SIZE bytes) to `out`.
  void compress_chunk(std::vector<uint8_t> chunk, ByteSink& out);
  // Reads one chunk stream and returns its bytes.
  std::vector<uint8_t> decode_chunk(ByteSource& in, ChunkTrace* trace = nullptr);
  // The stream has ended normally: the pipeline goes back to the pool. The
  // codec cannot be used afterwards.
  void finish();
  // For drivers that run the pipeline's steps themselves, on two threads.
  BlockPipeline& pipeline() { return *pipeline_; }

 private:
  PipelinePool* pool_;
  std::unique_ptr<BlockPipeline> pipeline_;
};

// A solid group's whole piece: its bytes (at most CHUNK_SIZE) as one chunk
// stream of a fresh model.
std::vector<uint8_t> pack_group_stream(const CodingOptions& options, std::vector<uint8_t> group,
                                       PipelinePool* pool = nullptr);

}  // namespace tarn
