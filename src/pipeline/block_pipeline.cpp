// The block pipeline: one buffer to one range-coded chunk stream and back.
//
// Packing: the range encoder starts afresh; the long-repeat prepass works
// over the whole buffer (possibly replacing it by a shorter one) and writes
// its header; the buffer is cut into segments where its byte statistics
// change and into blocks of at most 256 KiB; each block is copied to the
// work buffer, tries the filters in a fixed order (executable, text, stride
// and multimedia, low-redundancy test; the first that applies decides the
// block type), gets a header of three raw values (type 8 bits, filtered
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
//
// The state is kept in two sides that share nothing, the coders and the
// filter side, so that the steps of the two can run on two threads. What
// makes that exact is the work buffer: a filter may leave bytes behind its
// block that a later block reads (the two bytes the multimedia filter
// writes behind a block for the order-0 coder; the x86 walk past the end of
// a damaged block), so the work buffer's history must be that of one thread
// doing everything. It belongs to the filter side, which writes every
// block into it as compress_buffer does -- the sort transform of the
// order-0 coder's sorted blocks included -- and on the way back receives
// exactly the bytes each coder wrote there, in order, whether the coder
// wrote them in place or into a block of its own.
#include "pipeline/block_pipeline.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>

#include "coder/byte_predictor.h"
#include "coder/order0_coder.h"
#include "coder/ppm_model.h"
#include "coder/range_coder.h"
#include "common/error.h"
#include "pipeline/block_header.h"
#include "pipeline/block_types.h"
#include "pipeline/filters.h"
#include "pipeline/segmentation.h"
#include "platform/memory.h"

namespace tarn {
namespace {

constexpr uint32_t OUTPUT_SPARE = 10000;  // room behind the decoded data
constexpr uint32_t ORDER0_TAIL = 2;  // bytes the order-0 coder codes behind a block
// How far ahead of a growing end of the model heap its pages are faulted in:
// twice what the last block took there, within these bounds.
constexpr uint32_t FAULT_LEAD_MIN = 256 << 10;
constexpr uint32_t FAULT_LEAD_MAX = 16 << 20;
constexpr uint32_t FAULT_FIRST_LEAD = 4 << 20;

bool order0_family(uint8_t type) { return block_family(type) == BLOCK_DELTA || block_family(type) == BLOCK_LMS; }

// The bytes a coder writes when it decodes a block of this type and length.
uint32_t coder_output_length(uint8_t type, uint32_t length) {
  return order0_family(type) ? length + ORDER0_TAIL : length;
}

template <typename T>
void resize_or_fail(std::vector<T>& v, size_t size) {
  try {
    v.resize(size);
  } catch (const std::bad_alloc&) {
    raise_error(ErrorCode::OUT_OF_MEMORY);
  }
}

}  // namespace

// The prepass, the cutting into blocks and the filters; on the way back the
// inverse filters and the prepass restore. Owns the work buffer.
struct FilterSide {
  LongRepeat long_repeat;
  std::vector<uint8_t> work;
  SortScratch sort_scratch;
  SortTransform sort;
  uint32_t stream_position = 0;
  uint8_t filter_mask = FILTER_ALLOW_ALL;
  // The chunk being prepared and its blocks.
  std::vector<uint8_t> chunk;
  std::vector<BlockSpan> blocks;
  std::vector<ByteCounts> region_counts;  // of the chunk's BLOCK_SIZE stretches, when the cutting counted them
  size_t next_block = 0;
  // How far the model heap's pages are faulted in: up from the bottom of
  // the text area and of the unit area, down from the top.
  uint32_t text_faulted = 0;
  uint32_t lo_faulted = 0;
  uint32_t hi_faulted = UINT32_MAX;

  FilterSide() : work(WORK_BUFFER_SIZE) {}

  // Filters one block into the work buffer; returns its type, `length` the
  // filtered length.
  uint8_t filter_block(BlockSpan span, uint32_t& length);
  // Undoes the filter of the coded block in the work buffer; returns the
  // restored length.
  uint32_t undo_block(uint8_t type, uint32_t length);
};

// The range coder and the models.
struct CoderSide {
  PpmModel ppm;
  Order0Coder order0;
  BytePredictor predictor;
  // The chunk stream being written or read.
  std::optional<RangeEncoder> encoder;
  std::optional<RangeDecoder> decoder;
  // The model heap's growing ends after the last block and how far each
  // moved in it, told to the filter side's thread (fault_in_heap_ahead).
  struct Front {
    std::atomic<uint32_t> at{0};
    std::atomic<uint32_t> moved{0};
  };
  Front text_front, lo_front, hi_front;
  std::atomic<uint32_t> text_limit{0};  // where the unit area begins
  std::atomic<bool> blocks_told{false};

  // After a block, or (`start`) when the model has started.
  void tell_fronts(bool start = false);

  void code(RangeEncoder& coder, uint8_t type, const uint8_t* bytes, uint32_t length);
  void decode(RangeDecoder& coder, uint8_t type, uint8_t* out, uint32_t length);
};

struct BlockPipeline::State {
  FilterSide filters;
  CoderSide coders;
};

BlockPipeline::BlockPipeline() : state_(std::make_unique<State>()) {}
BlockPipeline::~BlockPipeline() = default;

void CoderSide::tell_fronts(bool start) {
  const SubAllocator& heap = ppm.allocator();
  auto tell = [start](Front& f, uint32_t at, bool up) {
    const uint32_t before = start ? at : f.at.load(std::memory_order_relaxed);
    f.moved.store(up ? (at > before ? at - before : 0) : (at < before ? before - at : 0), std::memory_order_relaxed);
    f.at.store(at, std::memory_order_relaxed);
  };
  tell(text_front, heap.text_ptr(), true);
  tell(lo_front, heap.lo_unit(), true);
  tell(hi_front, heap.hi_unit(), false);
  text_limit.store(heap.units_start(), std::memory_order_relaxed);
  blocks_told.store(!start, std::memory_order_relaxed);
}

void BlockPipeline::start_stream(const CodingOptions& options, uint32_t heap_megabytes) {
  if (!is_packing_method(options.method)) raise_error(ErrorCode::HEADER_DAMAGE);
  const MethodParameters& row = METHOD_PARAMETERS[options.method];
  FilterSide& f = state_->filters;
  CoderSide& c = state_->coders;
  // The filters' enable mask.
  f.filter_mask = static_cast<uint8_t>(options.filters & FILTER_ALLOW_ALL);
  c.order0.order0_model_reset();
  c.predictor.byte_predictor_reset();
  const uint32_t megabytes = heap_megabytes != 0 ? heap_megabytes : row.megabytes;
  c.ppm.start(row.order, megabytes << 20, row.cut_off);
  f.stream_position = 0;
  c.tell_fronts(true);
  f.text_faulted = 0;
  f.lo_faulted = 0;
  f.hi_faulted = UINT32_MAX;
}

void BlockPipeline::stop_suballocator() { state_->coders.ppm.stop_suballocator(); }

void BlockPipeline::reset_for_next_stream() {
  FilterSide& f = state_->filters;
  CoderSide& c = state_->coders;
  c.ppm.keep_heap_for_next_stream();
  std::fill(f.work.begin(), f.work.end(), uint8_t{0});
  f.blocks.clear();
  f.next_block = 0;
  f.chunk = {};
  f.stream_position = 0;
  c.encoder.reset();
  c.decoder.reset();
}
uint32_t BlockPipeline::stream_position() const { return state_->filters.stream_position; }

// ---- Packing --------------------------------------------------------------

void BlockPipeline::compress_buffer(std::vector<uint8_t> buffer, ByteSink& out) {
  prepare_chunk(std::move(buffer));
  PreparedBlock block;
  while (prepare_block(block, false)) code_block(block, out);
}

void BlockPipeline::prepare_chunk(std::vector<uint8_t> buffer) {
  FilterSide& f = state_->filters;
  f.chunk = std::move(buffer);
  f.long_repeat.long_repeat_encode(f.chunk);
  f.blocks.clear();
  f.next_block = 0;
  segment_buffer(f.chunk.data(), static_cast<uint32_t>(f.chunk.size()), f.blocks, &f.region_counts);
}

bool BlockPipeline::prepare_block(PreparedBlock& block, bool copy) {
  FilterSide& f = state_->filters;
  if (f.next_block >= f.blocks.size()) return false;
  const BlockSpan span = f.blocks[f.next_block++];
  block.starts_chunk = f.next_block == 1;
  block.ends_chunk = f.next_block == f.blocks.size();
  block.prepass = f.long_repeat.header();
  block.unfiltered = span.length;
  block.type = f.filter_block(span, block.length);
  block.copied = copy;
  if (copy) {
    resize_or_fail(block.bytes, block.length + ORDER0_TAIL);
    std::copy_n(f.work.data(), block.length + ORDER0_TAIL, block.bytes.data());
  }
  return true;
}

std::vector<uint8_t> BlockPipeline::take_chunk_buffer() { return std::move(state_->filters.chunk); }

void BlockPipeline::code_block(const PreparedBlock& block, ByteSink& out) {
  CoderSide& c = state_->coders;
  if (block.starts_chunk) {
    c.encoder.emplace(out);
    c.encoder->init();
    LongRepeat::write_prepass_header(*c.encoder, block.prepass);
  }
  RangeEncoder& coder = *c.encoder;
  write_block_header(coder, block.type, block.length);
  c.code(coder, block.type, block.copied ? block.bytes.data() : state_->filters.work.data(), block.length);
  c.tell_fronts();
  if (block.ends_chunk) {
    coder.flush();
    c.encoder.reset();
  }
}

uint8_t FilterSide::filter_block(BlockSpan span, uint32_t& length) {
  uint8_t* w = work.data();
  std::copy_n(chunk.data() + span.offset, span.length, w);
  length = span.length;

  // The first filter that applies decides the type; one that declines
  // leaves the block untouched.
  uint8_t type = 0;
  double plain_cost8 = -1.0;  // the block's 8-entry cost, when the multimedia decision measured it
  // A block that is a whole stretch of the chunk was counted by the cutting.
  ByteCounts counted;
  const ByteCounts* counts = &counted;
  const bool whole_stretch = span.offset % BLOCK_SIZE == 0 &&
                             (span.length == BLOCK_SIZE || span.offset + span.length == chunk.size());
  if (whole_stretch && span.offset / BLOCK_SIZE < region_counts.size())
    counts = &region_counts[span.offset / BLOCK_SIZE];
  else if (filter_mask & (FILTER_ALLOW_EXE | FILTER_ALLOW_TEXT))
    count_bytes(w, length, counted);
  if (filter_mask & FILTER_ALLOW_EXE) type = try_exe_filter(w, length, stream_position, *counts);
  if (type == 0 && (filter_mask & FILTER_ALLOW_TEXT)) type = try_text_filter(w, length, *counts);
  if (type == 0) {
    type = try_stride_and_mm_filters(w, length, (filter_mask & FILTER_ALLOW_SWAP) != 0,
                                     (filter_mask & FILTER_ALLOW_MM) != 0, sort_scratch, &plain_cost8);
  }
  if (type == 0 && (filter_mask & FILTER_ALLOW_LOWRED)) type = test_low_redundancy(w, length, sort_scratch, plain_cost8);
  // The order-0 coder's sort transform, in the work buffer as the coder
  // would have done it.
  if (block_family(type) == BLOCK_DELTA) sort.forward(w, length);
  stream_position += span.length;
  return type;
}

void CoderSide::code(RangeEncoder& coder, uint8_t type, const uint8_t* bytes, uint32_t length) {
  switch (block_family(type)) {
    case BLOCK_DELTA:
    case BLOCK_LMS:
      order0.order0_encode(coder, bytes, length + ORDER0_TAIL);  // sorted blocks come sorted
      break;
    case BLOCK_LOW_REDUNDANCY:
      predictor.encode(coder, bytes, length);
      break;
    default:
      ppm.encode_block(coder, bytes, length);
      break;
  }
}

// ---- Unpacking ------------------------------------------------------------

std::vector<uint8_t> BlockPipeline::decode_buffer(ByteSource& in, ChunkTrace* trace) {
  DecodedChunk chunk;
  const PrepassHeader prepass = start_chunk_decode(in);
  if (trace) {
    *trace = ChunkTrace{};
    trace->plain_length = prepass.plain_length;
    trace->prepass_applied = prepass.applied;
    trace->coded_length = prepass.coded_length;
  }
  start_chunk_output(chunk, prepass);
  CodedBlock block;
  while (!chunk.blocks_complete()) {
    decode_block_ahead(block, false);
    restore_block(block, chunk, trace);
  }
  finish_chunk_decode(chunk);
  return std::move(chunk.bytes);
}

PrepassHeader BlockPipeline::start_chunk_decode(ByteSource& in) {
  CoderSide& c = state_->coders;
  c.decoder.emplace(in);
  c.decoder->init();
  return LongRepeat::read_header(*c.decoder);
}

void BlockPipeline::decode_block_ahead(CodedBlock& block, bool copy) {
  CoderSide& c = state_->coders;
  RangeDecoder& coder = *c.decoder;
  const BlockHeader header = read_block_header(coder);
  if (header.length + ORDER0_TAIL > WORK_BUFFER_SIZE) raise_error(ErrorCode::HEADER_DAMAGE);
  block.type = header.type;
  block.length = header.length;
  block.copied = copy;
  uint8_t* out = state_->filters.work.data();
  if (copy) {
    resize_or_fail(block.bytes, coder_output_length(header.type, header.length));
    out = block.bytes.data();
  }
  c.decode(coder, header.type, out, header.length);
  c.tell_fronts();
}

void CoderSide::decode(RangeDecoder& coder, uint8_t type, uint8_t* out, uint32_t length) {
  switch (block_family(type)) {
    case BLOCK_DELTA:
    case BLOCK_LMS:
      order0.order0_decode(coder, out, length + ORDER0_TAIL);  // unsorted by the filter side
      break;
    case BLOCK_LOW_REDUNDANCY:
      predictor.decode(coder, out, length);
      break;
    default:
      ppm.decode_block(coder, out, length);
      break;
  }
}

void BlockPipeline::start_chunk_output(DecodedChunk& chunk, const PrepassHeader& prepass) {
  chunk.prepass = prepass;
  chunk.position = 0;
  chunk.bytes.clear();
  resize_or_fail(chunk.bytes, static_cast<size_t>(prepass.coded_length) + OUTPUT_SPARE);
}

void BlockPipeline::restore_block(const CodedBlock& block, DecodedChunk& chunk, ChunkTrace* trace) {
  FilterSide& f = state_->filters;
  if (block.copied) std::copy(block.bytes.begin(), block.bytes.end(), f.work.begin());
  const uint32_t length = f.undo_block(block.type, block.length);
  if (trace) trace->blocks.push_back({block.type, block.length, length});
  const uint32_t n = chunk.prepass.coded_length;
  if (length > n + OUTPUT_SPARE - chunk.position) raise_error(ErrorCode::HEADER_DAMAGE);
  std::copy_n(f.work.data(), length, chunk.bytes.data() + chunk.position);
  chunk.position += length;
}

uint32_t FilterSide::undo_block(uint8_t type, uint32_t length) {
  if (block_family(type) == BLOCK_DELTA) sort.inverse(work.data(), length);
  undo_block_filter(work.data(), length, type, stream_position);
  if (length == 0 || length > WORK_BUFFER_SIZE) raise_error(ErrorCode::HEADER_DAMAGE);
  stream_position += length;
  return length;
}

uint32_t BlockPipeline::restored_length_bound(const CodedBlock& block) const {
  const uint8_t* coded = block.copied ? block.bytes.data() : state_->filters.work.data();
  return tarn::restored_length_bound(coded, block.length, block.type);
}

void BlockPipeline::finish_chunk_decode(DecodedChunk& chunk) {
  state_->filters.long_repeat.long_repeat_decode(chunk.bytes, chunk.prepass);
}

void BlockPipeline::fault_in_heap_ahead(uint64_t stream_left) {
  FilterSide& f = state_->filters;
  CoderSide& c = state_->coders;
  // The heap stays where it is for the whole stream.
  uint8_t* base = c.ppm.allocator().heap();
  if (base == nullptr) return;
  const uint32_t text = c.text_front.at.load(std::memory_order_relaxed);
  const uint32_t lo = c.lo_front.at.load(std::memory_order_relaxed);
  const uint32_t hi = c.hi_front.at.load(std::memory_order_relaxed);
  const uint32_t text_limit = c.text_limit.load(std::memory_order_relaxed);
  auto lead = [&](const CoderSide::Front& front, uint32_t first) -> uint32_t {
    if (!c.blocks_told.load(std::memory_order_relaxed)) {
      // Before the first block: as much as a stream of this size may take.
      return static_cast<uint32_t>(std::min<uint64_t>(first, std::max<uint64_t>(FAULT_LEAD_MIN, 4 * stream_left)));
    }
    const uint64_t twice = 2 * uint64_t{front.moved.load(std::memory_order_relaxed)};
    return static_cast<uint32_t>(std::clamp<uint64_t>(twice, FAULT_LEAD_MIN, FAULT_LEAD_MAX));
  };
  if (lo > hi || text > text_limit) return;  // told in the middle of a restart: next time
  auto fault = [base](uint32_t from, uint32_t to) {
    if (from < to) platform::fault_in(base + from, to - from);
  };
  const uint32_t text_end = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{text} + lead(c.text_front, FAULT_LEAD_MIN), text_limit));
  fault(std::max(text, f.text_faulted), text_end);
  f.text_faulted = std::max(f.text_faulted, text_end);
  const uint32_t lo_end = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{lo} + lead(c.lo_front, FAULT_FIRST_LEAD), hi));
  fault(std::max(lo, f.lo_faulted), lo_end);
  f.lo_faulted = std::max(f.lo_faulted, lo_end);
  const uint32_t hi_start = hi - std::min(lead(c.hi_front, FAULT_FIRST_LEAD), hi - lo);
  fault(hi_start, std::min(hi, f.hi_faulted));
  f.hi_faulted = std::min(f.hi_faulted, hi_start);
}

}  // namespace tarn
