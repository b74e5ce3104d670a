// One buffer of file data to one range-coded chunk stream, and back.
//
// A BlockPipeline is the whole codec state of one stream (a file or a solid
// group): the PPM model with its heap, the secondary coders' tables, the
// long-repeat prepass, the block work buffer and the stream position. Nothing
// is shared between pipelines, so independent streams can be packed side by
// side. The drivers use it like this, per file or group:
//
//   pipeline.start_stream(options);
//   for each chunk: pipeline.compress_buffer(...)  or  pipeline.decode_buffer(...)
//   pipeline.stop_suballocator();   or, to use it for another stream,
//   pipeline.reset_for_next_stream();
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "coder/byte_io.h"
#include "pipeline/coding_options.h"

namespace tarn {

// What the decoder saw in one chunk stream, for inspection tools and tests.
struct BlockTrace {
  uint8_t type = 0;
  uint32_t coded_length = 0;     // length in the block header (filtered)
  uint32_t restored_length = 0;  // length after the inverse filter
};

struct ChunkTrace {
  uint32_t plain_length = 0;
  bool prepass_applied = false;
  uint32_t coded_length = 0;  // prepass output length, or plain_length
  std::vector<BlockTrace> blocks;
};

class BlockPipeline {
 public:
  BlockPipeline();
  ~BlockPipeline();
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;

  // Starts a stream (a file or a solid group) as the format orders it: the
  // pipeline reset with the filter mask (set_coding_options), the order-0
  // and byte-predictor resets, the PPM model with the method's parameters
  // (ppm_start) and stream position 0. Raises HEADER_DAMAGE for a method
  // without a model (0 or above 6) and OUT_OF_MEMORY when the model's heap
  // cannot be had. `heap_megabytes`, when not 0, replaces the method's heap
  // size (fuzzers and tests that want to run out of memory soon).
  void start_stream(const CodingOptions& options, uint32_t heap_megabytes = 0);
  void stop_suballocator();
  // Ends a stream and makes the pipeline as good as new for the next one,
  // keeping its buffers and model heap (zeroed where the stream wrote).
  void reset_for_next_stream();
  uint32_t stream_position() const;
  // The enable mask built by set_coding_options and the BlockType of the
  // last block coded or decoded (255 after a reset).
  uint8_t filter_mask() const;
  uint8_t current_block_type() const;

  // Packs one buffer of at most CHUNK_SIZE bytes; the chunk stream is
  // appended to `out`. The buffer is consumed.
  void compress_buffer(std::vector<uint8_t> buffer, ByteSink& out);

  // Unpacks one chunk stream from `in` and returns the restored bytes.
  // Raises UNEXPECTED_EOF when the input ends early and HEADER_DAMAGE when
  // the stream is structurally corrupt (a block that restores to nothing, or
  // more data than the stream announced).
  std::vector<uint8_t> decode_buffer(ByteSource& in, ChunkTrace* trace = nullptr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarn
