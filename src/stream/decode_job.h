// Decoding one piece of an archive: a packed single file or a packed solid
// group, on the thread that takes its pieces, with a free worker's help.
//
// A single file is a sequence of chunk streams, decoded one after another
// until the file's size is accounted for; a solid group is one chunk stream
// whose bytes are its members back to back. The job reads the archive
// through the input every reader shares (by position; nothing is reopened)
// and hands out the decoded chunks as pieces. It also checks what it
// decodes: the CRC of the file, or of every member of the group over its
// own bytes, so that a test needs no bytes at all (`keep_bytes` false: the
// pieces carry only the progress) and every worker checksums its own data.
// A damaged stream ends the job with a piece marked damaged that holds what
// could be kept.
//
// The coders decode the blocks here; restoring them (inverse filters) and
// finishing each chunk (prepass restore, checksum) are the steps of a
// WorkAhead, which a free worker runs while this thread decodes on. The
// next block is decoded as soon as it is certain to come: the restored
// lengths so far and the longest the blocks not yet restored can restore to
// tell that before they are restored. Without a free worker each block is
// decoded into the work buffer and restored there at once, as decode_buffer
// does. Whatever goes wrong, the failures and the pieces come out in the
// order of a single thread: a failure of the coders waits until the steps
// before it have run and the chunks before it are handed out.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "common/crc32.h"
#include "parallel/ordered_streams.h"
#include "parallel/work_ahead.h"
#include "pipeline/block_pipeline.h"
#include "stream/input.h"
#include "stream/pipeline_pool.h"
#include "stream/piece_source.h"
#include "stream/stream_codec.h"

namespace tarn {

// Where a piece lies in the archive and what it holds.
struct PieceMember {
  uint64_t position = 0;  // in the group's byte sequence (0 for a single file)
  uint32_t size = 0;
};
struct PieceLayout {
  uint64_t offset = 0;       // of the piece in the archive
  uint64_t packed_size = 0;  // as the table claims it
  std::vector<PieceMember> members;  // one: a single file; more: a solid group
};

class PieceDecodeJob : public StreamJob {
 public:
  PieceDecodeJob(const RandomAccessInput& archive, PieceLayout layout, bool keep_bytes, const CodingOptions& coding,
                 PipelinePool& pool);

  bool next_piece(Piece& piece) override;

  // Per member (valid once every piece is taken): the CRC of its bytes and
  // whether its piece was damaged.
  struct Result {
    uint32_t crc = 0;
    bool damaged = false;
  };
  const Result& result(size_t k) const { return results_[k]; }

 private:
  static constexpr unsigned SLOTS = 2;  // decoded blocks waiting for their restore
  static constexpr unsigned PLANS = 8;  // steps planned and not yet run

  // A decoded block waiting for its restore.
  struct Slot {
    CodedBlock block;
    uint32_t position_after = 0;  // the chunk's restored bytes after it (set by the step)
  };
  // A step: take the room for a chunk (decode_buffer does so between the
  // chunk's header and its first block), restore the block in a slot, or
  // finish the chunk restored.
  enum class Step { START, RESTORE, FINISH };
  struct Plan {
    Step step = Step::START;
    unsigned slot = 0;
    PrepassHeader prepass;
  };
  // A finished chunk: its plain bytes and what they mean for the job.
  struct Finished {
    std::vector<uint8_t> bytes;
    bool last = false;
    bool damaged = false;
  };

  bool group() const { return layout_.members.size() > 1; }
  bool make_piece(Piece& piece);
  void start();
  Finished next_chunk();
  Finished take_finished();
  void decode_next();
  void plan(const Plan& p, bool ahead);
  void wait_oldest();
  void run_step(uint64_t index);
  void finish_chunk();
  bool is_damage(const TarnError& e) const;
  void check_members(const std::vector<uint8_t>& data, bool damaged);
  bool hand_out(Piece& piece, std::vector<uint8_t> bytes);
  bool end(Piece& piece, std::vector<uint8_t> bytes, bool damaged);
  void release_buffers();

  const RandomAccessInput& archive_;
  PieceLayout layout_;
  bool keep_bytes_;
  const CodingOptions& coding_;
  PipelinePool& pool_;
  std::vector<Result> results_;
  uint64_t total_ = 0;  // the members' bytes
  uint64_t done_ = 0;
  Crc32 file_crc_;
  std::unique_ptr<PieceSource> source_;
  std::unique_ptr<StreamCodec> codec_;
  bool inside_file_ = true;
  bool finished_ = false;
  // The coder's side.
  bool chunk_open_ = false;
  PrepassHeader chunk_header_;
  uint64_t unannounced_ = 0;  // bytes not yet announced by a chunk header
  uint32_t known_ = 0;  // restored bytes of the open chunk, as far as known
  std::deque<std::pair<uint64_t, uint32_t>> pending_;  // restores not waited for: step, longest result
  uint64_t decoded_ = 0;
  bool stream_decoded_ = false;
  std::exception_ptr coder_error_;
  uint64_t steps_ = 0;
  Plan plans_[PLANS];
  uint64_t finish_steps_[2] = {};
  uint64_t finishes_ = 0;
  uint64_t handed_ = 0;
  // Shared through the steps' order.
  Slot slots_[SLOTS];
  Finished done_chunks_[2];
  // The steps' side.
  DecodedChunk restoring_;
  uint64_t restoring_base_ = 0;
  uint64_t unfinished_ = 0;  // bytes the finished chunks have not yet accounted for
  uint64_t finishes_run_ = 0;
  std::unique_ptr<WorkAhead> ahead_;  // last: stopped before the rest goes
};

}  // namespace tarn
