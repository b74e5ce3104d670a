// The block pipeline: one buffer to one range-coded chunk stream and back.
//
// Packing: the range encoder starts afresh; the long-repeat prepass works
// over the whole buffer (possibly replacing it by a shorter one) and writes
// its header; the buffer is cut into segments where its byte statistics
// change and into blocks of at most 256 KiB; each block is copied to the
// work buffer, tries the filters in a fixed order (executable, text, stride
// and multimedia, low-redundancy test; the first that applies decides the
// BlockType), gets a header of three raw values (type 8 bits, filtered
// length low 14 bits, high 5 bits) and goes to the coder its type selects:
// high nibble 4 and 5 the order-0 coder, 6 the predicted-byte coder, all
// others the PPM model. Four flush bytes end the stream.
//
// Unpacking reads the prepass header to learn how many bytes the blocks
// decode to, decodes block after block into the output, undoes each filter
// by the type's high nibble and finally lets the prepass restore the
// repetitions. The decoder sees no segments, only blocks.
//
// The models (PPM, order-0, predictor) carry over from buffer to buffer;
// only the drivers reset them. The stream position counts unfiltered bytes
// for the executable filter.
#include "pipeline/block_pipeline.h"

#include <algorithm>
#include <new>

#include "coder/byte_predictor.h"
#include "coder/long_repeat.h"
#include "coder/order0_coder.h"
#include "coder/ppm_model.h"
#include "coder/range_coder.h"
#include "common/error.h"
#include "pipeline/block_header.h"
#include "pipeline/block_types.h"
#include "pipeline/filters.h"
#include "pipeline/segmentation.h"

namespace tarn {
namespace {

constexpr uint32_t OUTPUT_SPARE = 10000;  // room behind the decoded data
constexpr uint32_t ORDER0_TAIL = 2;  // bytes the order-0 coder codes behind a block

}  // namespace

struct BlockPipeline::State {
  PpmModel ppm;
  Order0Coder order0;
  BytePredictor predictor;
  LongRepeat long_repeat;
  std::vector<uint8_t> work;
  std::vector<BlockSpan> blocks;
  SortScratch sort_scratch;
  uint32_t stream_position = 0;
  uint8_t filter_mask = FILTER_ALLOW_ALL;
  uint8_t block_type = 255;

  State() : work(WORK_BUFFER_SIZE) {}

  void encode_block(RangeEncoder& coder, const uint8_t* buffer, BlockSpan span);
  uint32_t decode_block(RangeDecoder& coder, ChunkTrace* trace);
  void code_block(RangeEncoder& coder, uint32_t length);
  void decode_with_coder(RangeDecoder& coder, uint32_t length);
};

BlockPipeline::BlockPipeline() : state_(std::make_unique<State>()) {}
BlockPipeline::~BlockPipeline() = default;

void BlockPipeline::start_stream(const CodingOptions& options, uint32_t heap_megabytes) {
  if (!is_packing_method(options.method)) raise_error(ErrorCode::HEADER_DAMAGE);
  const MethodParameters& row = METHOD_PARAMETERS[options.method];
  State& st = *state_;
  // set_coding_options: the enable mask; no block type yet.
  st.filter_mask = static_cast<uint8_t>(options.filters & FILTER_ALLOW_ALL);
  st.block_type = 255;
  st.order0.order0_model_reset();
  st.predictor.byte_predictor_reset();
  const uint32_t megabytes = heap_megabytes != 0 ? heap_megabytes : row.megabytes;
  st.ppm.start(row.order, megabytes << 20, row.cut_off);  // ppm_start
  st.stream_position = 0;
}

void BlockPipeline::stop_suballocator() { state_->ppm.stop_suballocator(); }

void BlockPipeline::reset_for_next_stream() {
  State& st = *state_;
  st.ppm.keep_heap_for_next_stream();
  std::fill(st.work.begin(), st.work.end(), uint8_t{0});
  st.blocks.clear();
  st.stream_position = 0;
  st.block_type = 255;
}
uint32_t BlockPipeline::stream_position() const { return state_->stream_position; }
uint8_t BlockPipeline::filter_mask() const { return state_->filter_mask; }
uint8_t BlockPipeline::current_block_type() const { return state_->block_type; }

void BlockPipeline::compress_buffer(std::vector<uint8_t> buffer, ByteSink& out) {
  State& st = *state_;
  RangeEncoder coder(out);
  coder.init();
  st.long_repeat.long_repeat_encode(buffer);
  st.long_repeat.write_prepass_header(coder, static_cast<uint32_t>(buffer.size()));
  st.blocks.clear();
  segment_buffer(buffer.data(), static_cast<uint32_t>(buffer.size()), st.blocks);
  for (const BlockSpan& span : st.blocks) st.encode_block(coder, buffer.data(), span);
  coder.flush();
}

std::vector<uint8_t> BlockPipeline::decode_buffer(ByteSource& in, ChunkTrace* trace) {
  State& st = *state_;
  RangeDecoder coder(in);
  coder.init();
  const uint32_t n = st.long_repeat.read_prepass_header(coder);
  if (trace) {
    *trace = ChunkTrace{};
    trace->plain_length = st.long_repeat.plain_length();
    trace->prepass_applied = st.long_repeat.prepass_applied();
    trace->coded_length = n;
  }

  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<size_t>(n) + OUTPUT_SPARE);
  } catch (const std::bad_alloc&) {
    raise_error(ErrorCode::OUT_OF_MEMORY);
  }
  uint32_t position = 0;
  while (position < n) {
    uint32_t length = st.decode_block(coder, trace);
    if (length > n + OUTPUT_SPARE - position) raise_error(ErrorCode::HEADER_DAMAGE);
    std::copy_n(st.work.data(), length, buffer.data() + position);
    position += length;
  }
  st.long_repeat.long_repeat_decode(buffer);
  return buffer;
}

void BlockPipeline::State::encode_block(RangeEncoder& coder, const uint8_t* buffer,
                                        BlockSpan span) {
  uint8_t* w = work.data();
  std::copy_n(buffer + span.offset, span.length, w);
  uint32_t length = span.length;

  // The first filter that applies decides the type; one that declines
  // leaves the block untouched.
  uint8_t type = 0;
  if (filter_mask & FILTER_ALLOW_EXE) type = try_exe_filter(w, length, stream_position);
  if (type == 0 && (filter_mask & FILTER_ALLOW_TEXT)) type = try_text_filter(w, length);
  if (type == 0) {
    type = try_stride_and_mm_filters(w, length, (filter_mask & FILTER_ALLOW_SWAP) != 0,
                                     (filter_mask & FILTER_ALLOW_MM) != 0, sort_scratch);
  }
  if (type == 0 && (filter_mask & FILTER_ALLOW_LOWRED)) type = test_low_redundancy(w, length, sort_scratch);

  write_block_header(coder, type, length);
  block_type = type;
  code_block(coder, length);
  stream_position += span.length;
}

void BlockPipeline::State::code_block(RangeEncoder& coder, uint32_t length) {
  switch (block_family(block_type)) {
    case BLOCK_DELTA:
    case BLOCK_LMS:
      order0.order0_encode_block(coder, work.data(), length, block_family(block_type) == BLOCK_DELTA);
      break;
    case BLOCK_LOW_REDUNDANCY:
      predictor.encode(coder, work.data(), length);
      break;
    default:
      ppm.encode_block(coder, work.data(), length);
      break;
  }
}

uint32_t BlockPipeline::State::decode_block(RangeDecoder& coder, ChunkTrace* trace) {
  const BlockHeader header = read_block_header(coder);
  uint32_t length = header.length;
  if (length + ORDER0_TAIL > WORK_BUFFER_SIZE) raise_error(ErrorCode::HEADER_DAMAGE);
  block_type = header.type;
  const uint32_t coded_length = length;

  decode_with_coder(coder, length);
  undo_block_filter(work.data(), length, block_type, stream_position);
  if (length == 0 || length > WORK_BUFFER_SIZE) raise_error(ErrorCode::HEADER_DAMAGE);
  if (trace) trace->blocks.push_back({block_type, coded_length, length});
  stream_position += length;
  return length;
}

void BlockPipeline::State::decode_with_coder(RangeDecoder& coder, uint32_t length) {
  switch (block_family(block_type)) {
    case BLOCK_DELTA:
    case BLOCK_LMS:
      order0.order0_decode_block(coder, work.data(), length, block_family(block_type) == BLOCK_DELTA);
      break;
    case BLOCK_LOW_REDUNDANCY:
      predictor.decode(coder, work.data(), length);
      break;
    default:
      ppm.decode_block(coder, work.data(), length);
      break;
  }
}

}  // namespace tarn
