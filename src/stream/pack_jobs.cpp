#include "stream/pack_jobs.h"

#include <utility>

namespace tarn {

namespace {
constexpr uint32_t READ_PIECE = 262144;  // members are read in pieces of this size
}

PackGroupJob::PackGroupJob(std::vector<uint32_t> sizes, OpenMember open, uint32_t store_margin,
                           const CodingOptions& coding, PipelinePool& pool)
    : sizes_(std::move(sizes)), open_(std::move(open)), store_margin_(store_margin), coding_(coding), pool_(pool),
      crcs_(sizes_.size()), positions_(sizes_.size()), grew_(sizes_.size()) {}

bool PackGroupJob::next_piece(Piece& piece) {
  if (done_) return false;
  done_ = true;
  uint64_t total = 0;
  for (const uint32_t size : sizes_) total += size;
  std::vector<uint8_t> group;
  group.reserve(static_cast<size_t>(total));
  for (size_t k = 0; k < sizes_.size(); ++k) {
    reached_ = k;
    read_member(k, group);
  }
  std::vector<uint8_t> packed = pack_group_stream(coding_, group, &pool_);  // a copy: the raw group is kept
  stored_ = packed.size() + store_margin_ > group.size();
  piece.bytes = stored_ ? std::move(group) : std::move(packed);
  piece.done = total;
  return true;
}

void PackGroupJob::read_member(size_t k, std::vector<uint8_t>& group) {
  const std::unique_ptr<SequentialInput> input = open_(k);
  positions_[k] = static_cast<uint32_t>(group.size());
  Crc32 crc;
  crc.begin();
  for (uint32_t remaining = sizes_[k]; remaining > 0;) {
    const uint32_t piece = remaining < READ_PIECE ? remaining : READ_PIECE;
    const size_t at = group.size();
    group.resize(at + piece);
    input->read_exact(group.data() + at, piece);
    crc.update(group.data() + at, piece);
    remaining -= piece;
  }
  crcs_[k] = crc.value();
  grew_[k] = input->holds_more();
}

PackFileJob::PackFileJob(uint32_t size, OpenMember open, const CodingOptions& coding, PipelinePool& pool)
    : size_(size), open_(std::move(open)), coding_(coding), pool_(pool), remaining_(size), unread_(size) {}

bool PackFileJob::next_piece(Piece& piece) {
  if (remaining_ == 0) return false;
  try {
    return make_piece(piece);
  } catch (...) {
    if (ahead_) ahead_->stop();
    throw;
  }
}

bool PackFileJob::make_piece(Piece& piece) {
  if (!codec_) {
    input_ = open_(0);
    crc_.begin();
    codec_ = std::make_unique<StreamCodec>(coding_, &pool_);
    ahead_ = std::make_unique<WorkAhead>(
        *this, [this](uint64_t index, bool ahead, bool on_worker) { prepare(index, ahead, on_worker); });
    // With a worker free (or still starting), the first blocks are
    // prepared there too.
    if (ahead_->worker_free()) ahead_->allow(SLOTS);
  }
  BlockPipeline& pipeline = codec_->pipeline();
  ByteSink sink;
  uint32_t plain = 0;
  uint64_t coded = 0;
  for (bool last = false; !last; ++next_block_) {
    ahead_->wait(next_block_);
    const PreparedBlock& block = slots_[next_block_ % SLOTS];
    // A block of its own lets the next ones be prepared while it is
    // coded. One in the work buffer is coded first; then a free worker
    // may start preparing ahead (the blocks it makes have their own bytes).
    if (block.copied) ahead_->allow(next_block_ + SLOTS);
    pipeline.code_block(block, sink);
    if (!block.copied && ahead_->worker_free()) ahead_->allow(next_block_ + SLOTS);
    plain = block.prepass.plain_length;
    coded += block.unfiltered;
    const uint64_t length = block.prepass.coded_length;
    report_progress(size_ - remaining_ + (length == 0 ? plain : plain * coded / length));
    last = block.ends_chunk;
  }
  remaining_ -= plain;
  piece.bytes = std::move(sink.bytes());
  piece.done = size_ - remaining_;
  if (remaining_ == 0) {
    ahead_->stop();
    codec_->finish();
    codec_.reset();
    input_.reset();
    for (PreparedBlock& slot : slots_) slot = PreparedBlock();
  }
  return true;
}

// Step `index`: the next block, after the next chunk when the last one is
// used up. Steps past the last block find nothing to do. On a worker, the
// model heap's next pages are faulted in first.
void PackFileJob::prepare(uint64_t index, bool ahead, bool on_worker) {
  BlockPipeline& pipeline = codec_->pipeline();
  if (on_worker) pipeline.fault_in_heap_ahead(size_);
  PreparedBlock& block = slots_[index % SLOTS];
  if (pipeline.prepare_block(block, ahead) || unread_ == 0) return;
  const uint32_t length = unread_ < CHUNK_SIZE ? unread_ : CHUNK_SIZE;
  std::vector<uint8_t> chunk = pipeline.take_chunk_buffer();
  chunk.resize(length);
  input_->read_exact(chunk.data(), length);
  crc_.update(chunk.data(), length);
  unread_ -= length;
  if (unread_ == 0) grew_ = input_->holds_more();
  pipeline.prepare_chunk(std::move(chunk));
  pipeline.prepare_block(block, ahead);
}

}  // namespace tarn
