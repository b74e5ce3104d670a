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
//
// The work of one stream also splits in two sides that two threads can do at
// once: the coders (the range coder and the models), and the filter side
// around them -- when packing the prepass, the cutting into blocks and the
// filters, when unpacking the inverse filters and the prepass restore. The
// sides share no state: the filter side can prepare the blocks the coders
// will code next (prepare_chunk, prepare_block), and the coders can decode
// blocks whose inverse filters are still to come (start_chunk_decode,
// decode_block_ahead, then restore_block, finish_chunk_decode). Either way
// every block goes through the work buffer exactly as in compress_buffer and
// decode_buffer, which are these steps in turn, so the chunk streams and the
// restored bytes are the same whichever thread did which step.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "coder/byte_io.h"
#include "coder/long_repeat.h"
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

// A block filtered for the coders. Its bytes stay in the work buffer for a
// caller that codes it at once, or are copied out (`bytes`: the filtered
// block and the two bytes behind it, which the order-0 coder codes too) for
// one that codes it while the next blocks are prepared.
struct PreparedBlock {
  bool starts_chunk = false;  // the chunk stream starts here, with `prepass`
  bool ends_chunk = false;
  PrepassHeader prepass;
  uint8_t type = 0;
  uint32_t length = 0;      // filtered, as the block header gives it
  uint32_t unfiltered = 0;  // the bytes of the chunk it stands for
  bool copied = false;
  std::vector<uint8_t> bytes;
};

// A block as the coders decoded it, before its inverse filter: in the work
// buffer, or copied out (`bytes`: the coders' whole output, the block and,
// for the order-0 coder, the two bytes behind it) for a caller that decodes
// the next block before restoring this one.
struct CodedBlock {
  uint8_t type = 0;
  uint32_t length = 0;  // from the block header
  bool copied = false;
  std::vector<uint8_t> bytes;
};

// A chunk being restored block by block: its prepass header, the bytes of
// the blocks restored so far, then (finish_chunk_decode) its plain bytes.
struct DecodedChunk {
  PrepassHeader prepass;
  std::vector<uint8_t> bytes;
  uint32_t position = 0;  // bytes of restored blocks in `bytes`
  // Whether the blocks are all there; until then another block follows.
  bool blocks_complete() const { return position >= prepass.coded_length; }
};

class BlockPipeline {
 public:
  BlockPipeline();
  ~BlockPipeline();
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;

  // Starts a stream (a file or a solid group) as the format orders it: the
  // pipeline reset with the filter mask, the order-0 and byte-predictor
  // resets, the PPM model started with the method's parameters and stream
  // position 0. Raises HEADER_DAMAGE for a method
  // without a model (0 or above 6) and OUT_OF_MEMORY when the model's heap
  // cannot be had. `heap_megabytes`, when not 0, replaces the method's heap
  // size (fuzzers and tests that want to run out of memory soon).
  void start_stream(const CodingOptions& options, uint32_t heap_megabytes = 0);
  void stop_suballocator();
  // Ends a stream and makes the pipeline as good as new for the next one,
  // keeping its buffers and model heap (zeroed where the stream wrote).
  void reset_for_next_stream();
  uint32_t stream_position() const;

  // Packs one buffer of at most CHUNK_SIZE bytes; the chunk stream is
  // appended to `out`. The buffer is consumed.
  void compress_buffer(std::vector<uint8_t> buffer, ByteSink& out);

  // Unpacks one chunk stream from `in` and returns the restored bytes.
  // Raises UNEXPECTED_EOF when the input ends early and HEADER_DAMAGE when
  // the stream is structurally corrupt (a block that restores to nothing, or
  // more data than the stream announced).
  std::vector<uint8_t> decode_buffer(ByteSource& in, ChunkTrace* trace = nullptr);

  // Packing in steps. Filter side: prepare_chunk takes the next buffer (at
  // most CHUNK_SIZE bytes) through the prepass and cuts it into blocks;
  // prepare_block filters its next block (false when it has none left), in
  // the work buffer or, with `copy`, into the block's own bytes.
  void prepare_chunk(std::vector<uint8_t> buffer);
  bool prepare_block(PreparedBlock& block, bool copy);
  // The chunk's buffer once its blocks are prepared, for the next chunk.
  std::vector<uint8_t> take_chunk_buffer();
  // Coder side: codes a prepared block, starting the chunk stream in `out`
  // before a block that starts one and flushing it after one that ends it.
  void code_block(const PreparedBlock& block, ByteSink& out);

  // Unpacking in steps. Coder side: start_chunk_decode starts reading a chunk
  // stream from `in` and gives its prepass header; decode_block_ahead decodes
  // its next block, into the work buffer or, with `copy`, into the block's own
  // bytes. Raise as decode_buffer.
  PrepassHeader start_chunk_decode(ByteSource& in);
  void decode_block_ahead(CodedBlock& block, bool copy);
  // Filter side: start_chunk_output readies `chunk` for the blocks of a
  // chunk with this header; restore_block undoes a decoded block's filter in
  // the work buffer and appends it to the chunk. Raises HEADER_DAMAGE for a
  // block that restores to nothing or to more than the chunk has room for,
  // OUT_OF_MEMORY when the chunk's room cannot be had.
  void start_chunk_output(DecodedChunk& chunk, const PrepassHeader& prepass);
  void restore_block(const CodedBlock& block, DecodedChunk& chunk, ChunkTrace* trace = nullptr);

  // No block restores to more bytes than this (only the n-gram dictionary of
  // Latin text lets a block grow); the coded bytes must be in place.
  uint32_t restored_length_bound(const CodedBlock& block) const;
  // The prepass restore, once the chunk's blocks are complete: `chunk.bytes`
  // become the chunk's plain bytes.
  void finish_chunk_decode(DecodedChunk& chunk);

  // For a thread beside the coders' (the filter side's, when it is not the
  // coders'): faults in the model heap's pages a little ahead of where the
  // model grows next -- by what the coders' last block took, as they tell
  // after every block -- so that the coders do not stop for the system
  // there. Before the first block, `stream_left` (the bytes the stream
  // still has) bounds the first stretch.
  void fault_in_heap_ahead(uint64_t stream_left);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarn
