#include "stream/decode_job.h"

#include "common/error.h"

namespace tarn {

PieceDecodeJob::PieceDecodeJob(const RandomAccessInput& archive, PieceLayout layout, bool keep_bytes,
                               const CodingOptions& coding, PipelinePool& pool)
    : archive_(archive), layout_(std::move(layout)), keep_bytes_(keep_bytes), coding_(coding), pool_(pool),
      results_(layout_.members.size()) {
  for (const PieceMember& e : layout_.members) total_ += e.size;
  unannounced_ = total_;
  unfinished_ = total_;
}

// What the job no longer needs once its last piece is made: only the
// results stay until the job goes.
void PieceDecodeJob::release_buffers() {
  source_.reset();
  for (Slot& slot : slots_) slot.block = CodedBlock();
  restoring_ = DecodedChunk();
  pending_ = {};
}

bool PieceDecodeJob::next_piece(Piece& piece) {
  if (finished_) return false;
  try {
    return make_piece(piece);
  } catch (...) {
    if (ahead_) ahead_->stop();
    throw;
  }
}


bool PieceDecodeJob::make_piece(Piece& piece) {
  if (!codec_) start();
  Finished chunk;
  try {
    chunk = next_chunk();
  } catch (const TarnError& e) {
    if (!is_damage(e)) throw;
    return end(piece, {}, true);
  }
  if (chunk.last) return end(piece, std::move(chunk.bytes), chunk.damaged);
  return hand_out(piece, std::move(chunk.bytes));
}

void PieceDecodeJob::start() {
  const uint64_t length = archive_.length();
  const uint64_t claimed_end = layout_.offset + layout_.packed_size;
  inside_file_ = claimed_end <= length;
  source_ = std::make_unique<PieceSource>(archive_, layout_.offset, inside_file_ ? claimed_end : length);
  codec_ = std::make_unique<StreamCodec>(coding_, &pool_);
  ahead_ = std::make_unique<WorkAhead>(*this, [this](uint64_t index, bool, bool on_worker) {
    if (on_worker) codec_->pipeline().fault_in_heap_ahead(total_);
    run_step(index);
  });
  file_crc_.begin();
}

// The next finished chunk, or the first failure in the order of a single
// thread.
PieceDecodeJob::Finished PieceDecodeJob::next_chunk() {
  for (;;) {
    const bool finished_ahead = handed_ < finishes_ && ahead_->has_run(finish_steps_[handed_ % 2]);
    if (finished_ahead || finishes_ - handed_ == 2) return take_finished();
    if (coder_error_ || stream_decoded_) {
      if (handed_ < finishes_) return take_finished();
      if (steps_ > 0) ahead_->wait(steps_ - 1);  // the steps' failures come first
      if (coder_error_) std::rethrow_exception(coder_error_);
      raise_error(ErrorCode::HEADER_DAMAGE);  // not reached: the last chunk ends the job
    }
    try {
      decode_next();
    } catch (...) {
      coder_error_ = std::current_exception();
    }
  }
}

PieceDecodeJob::Finished PieceDecodeJob::take_finished() {
  ahead_->wait(finish_steps_[handed_ % 2]);
  return std::move(done_chunks_[handed_++ % 2]);
}

// Decodes the next block of the stream, when it is certain to come;
// otherwise waits for the restores that tell, and finishes the chunk when
// its blocks are complete.
//
// Decoding ahead is safe only because of two facts: a block restores to
// at most `restored_length_bound` bytes, and a finished chunk is exactly
// as long as its header says (otherwise it fails). Were either to loosen,
// which blocks get decoded before a failure -- and so the CRC reported for
// a damaged entry -- would depend on timing.
void PieceDecodeJob::decode_next() {
  BlockPipeline& pipeline = codec_->pipeline();
  if (!chunk_open_) {
    chunk_header_ = pipeline.start_chunk_decode(*source_);
    chunk_open_ = true;
    known_ = 0;
    unannounced_ -= chunk_header_.plain_length < unannounced_ ? chunk_header_.plain_length : unannounced_;
    // With the first restore, not ahead: the room of the chunk before may
    // still wait to be handed out. The first chunk's goes ahead: a free
    // worker faults in the model heap's first pages meanwhile.
    plan({Step::START, 0, chunk_header_}, steps_ == 0);
  }
  for (;;) {
    uint64_t reach = known_;
    for (const auto& p : pending_) reach += p.second;
    if (reach < chunk_header_.coded_length) break;
    if (pending_.empty()) {
      // The blocks are complete: the chunk is finished while the next one
      // is decoded, if one follows.
      plan({Step::FINISH, 0, {}}, true);
      chunk_open_ = false;
      stream_decoded_ = group() || chunk_header_.plain_length == 0 || unannounced_ == 0;
      return;
    }
    wait_oldest();
  }
  // Room in a slot: the oldest waiting block is restored first.
  while (pending_.size() >= SLOTS) wait_oldest();
  const bool copy = !pending_.empty() || ahead_->worker_free();
  const unsigned k = static_cast<unsigned>(decoded_++ % SLOTS);
  Slot& slot = slots_[k];
  pipeline.decode_block_ahead(slot.block, copy);
  pending_.push_back({steps_, pipeline.restored_length_bound(slot.block)});
  plan({Step::RESTORE, k, {}}, copy);
  if (!copy) wait_oldest();
}

// Plans the next step; a worker may run it at once when `ahead`.
void PieceDecodeJob::plan(const Plan& p, bool ahead) {
  if (steps_ >= PLANS) ahead_->wait(steps_ - PLANS);  // its plan has been read
  plans_[steps_ % PLANS] = p;
  if (p.step == Step::FINISH) finish_steps_[finishes_++ % 2] = steps_;
  ++steps_;
  if (ahead) ahead_->allow(steps_);
}

// Waits for the restore of the oldest block waiting for one.
void PieceDecodeJob::wait_oldest() {
  const uint64_t step = pending_.front().first;
  ahead_->wait(step);
  known_ = slots_[plans_[step % PLANS].slot].position_after;
  pending_.pop_front();
}

void PieceDecodeJob::run_step(uint64_t index) {
  BlockPipeline& pipeline = codec_->pipeline();
  const Plan& p = plans_[index % PLANS];
  switch (p.step) {
    case Step::START:
      pipeline.start_chunk_output(restoring_, p.prepass);
      restoring_base_ = total_ - unfinished_;
      break;
    case Step::RESTORE: {
      Slot& slot = slots_[p.slot];
      pipeline.restore_block(slot.block, restoring_);
      slot.position_after = restoring_.position;
      const uint64_t n = restoring_.prepass.coded_length;
      report_progress(restoring_base_ + uint64_t{restoring_.prepass.plain_length} * restoring_.position / (n == 0 ? 1 : n));
      break;
    }
    case Step::FINISH:
      finish_chunk();
      break;
  }
}

// The prepass restore and the checks of one chunk, as the pieces of a
// single thread had them.
void PieceDecodeJob::finish_chunk() {
  codec_->pipeline().finish_chunk_decode(restoring_);
  Finished& out = done_chunks_[finishes_run_++ % 2];
  out.bytes = std::move(restoring_.bytes);
  std::vector<uint8_t>& chunk = out.bytes;
  out.last = true;
  out.damaged = false;
  if (group()) {
    // The group's byte sequence is its members back to back.
    out.damaged = chunk.size() != unfinished_;
    check_members(chunk, out.damaged);
  } else if (chunk.empty() || chunk.size() > unfinished_) {
    // The chunks do not add up to the file's size: keep what fits.
    if (chunk.size() > unfinished_) chunk.resize(static_cast<size_t>(unfinished_));
    file_crc_.update(chunk.data(), chunk.size());
    out.damaged = true;
  } else {
    file_crc_.update(chunk.data(), chunk.size());
    unfinished_ -= chunk.size();
    out.last = unfinished_ == 0;
  }
}

// A stream that breaks its own rules, or runs past its piece, is damage;
// one that runs past the end of the archive is the archive's end.
bool PieceDecodeJob::is_damage(const TarnError& e) const {
  return e.code() == ErrorCode::HEADER_DAMAGE || (e.code() == ErrorCode::UNEXPECTED_EOF && inside_file_);
}

// Every member's bytes at its position in the group.
void PieceDecodeJob::check_members(const std::vector<uint8_t>& data, bool damaged) {
  for (size_t k = 0; k < layout_.members.size(); ++k) {
    const PieceMember& e = layout_.members[k];
    const uint64_t start = e.position < data.size() ? e.position : data.size();
    const uint64_t end = e.position + e.size <= data.size() ? e.position + e.size : data.size();
    results_[k].crc = crc32_of(data.data() + start, static_cast<size_t>(end - start));
    results_[k].damaged = damaged || e.position + e.size > data.size();
  }
}

bool PieceDecodeJob::hand_out(Piece& piece, std::vector<uint8_t> bytes) {
  done_ += bytes.size();
  piece.done = done_;
  if (keep_bytes_) piece.bytes = std::move(bytes);
  return true;
}

bool PieceDecodeJob::end(Piece& piece, std::vector<uint8_t> bytes, bool damaged) {
  finished_ = true;
  ahead_->stop();
  if (!group()) results_[0] = {file_crc_.value(), damaged};
  else if (damaged && bytes.empty()) check_members(bytes, true);
  if (damaged) codec_.reset();
  else codec_->finish();
  release_buffers();
  piece.damaged = damaged;
  return hand_out(piece, std::move(bytes));
}

}  // namespace tarn
