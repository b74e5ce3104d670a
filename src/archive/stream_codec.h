// One stream of the data area: a file or a solid group, packed or unpacked.
//
// A StreamCodec owns the whole codec state of one stream and runs the start
// sequence of the format before the first chunk: pipeline options, order-0
// and byte-predictor resets, the PPM start with the method's parameters and
// stream position 0; it releases the model's heap when it goes. The model
// carries over from one chunk to the next within the stream. Since streams
// share nothing, several could be packed at once.
#pragma once

#include <cstdint>
#include <vector>

#include "coder/byte_io.h"
#include "pipeline/block_pipeline.h"

namespace tarn {

struct CodingSetup {
  uint8_t method = 3;
  bool text = true, exe = true, mm = true, lowred = true, swap = true;
};

class StreamCodec {
 public:
  // Raises HEADER_DAMAGE for a method without model parameters (0 or above 6).
  explicit StreamCodec(const CodingSetup& setup);
  ~StreamCodec();
  StreamCodec(const StreamCodec&) = delete;
  StreamCodec& operator=(const StreamCodec&) = delete;

  // Appends the chunk stream of `chunk` (at most CHUNK_SIZE bytes) to `out`.
  void compress_chunk(std::vector<uint8_t> chunk, ByteSink& out);
  // Reads one chunk stream and returns its bytes.
  std::vector<uint8_t> decode_chunk(ByteSource& in, ChunkTrace* trace = nullptr);

 private:
  BlockPipeline pipeline_;
};

// A solid group's whole piece: its bytes (at most CHUNK_SIZE) as one chunk
// stream of a fresh model.
std::vector<uint8_t> pack_group_stream(const CodingSetup& setup, std::vector<uint8_t> group);

}  // namespace tarn
