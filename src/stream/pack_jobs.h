// Packing one stream of the data area: a single file, chunk stream by chunk
// stream, or a solid group as one chunk stream, on the thread that takes
// its pieces, with a free worker's help.
//
// The jobs read their members from the inputs they are given (a file, a
// buffer in memory, whatever the caller opens), check what they read with
// CRC-32 and hand out what goes into the archive as pieces: a packed chunk
// stream at a time for a single file, the whole group -- packed, or raw when
// packing does not pay -- for a solid group. Where the pieces go is the
// driver's business.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "common/crc32.h"
#include "parallel/ordered_streams.h"
#include "parallel/work_ahead.h"
#include "pipeline/block_pipeline.h"
#include "pipeline/coding_options.h"
#include "stream/input.h"
#include "stream/pipeline_pool.h"
#include "stream/stream_codec.h"

namespace tarn {

// Opens member `k` of a job's members for reading, from its start.
using OpenMember = std::function<std::unique_ptr<SequentialInput>(size_t k)>;

// A solid group: its members read into one buffer and packed as one chunk
// stream. One piece: the group's bytes as they go into the archive, packed,
// or raw when packing does not pay by `store_margin` bytes (both forms are in
// memory, so the choice is made before anything is written).
class PackGroupJob : public StreamJob {
 public:
  PackGroupJob(std::vector<uint32_t> sizes, OpenMember open, uint32_t store_margin, const CodingOptions& coding,
               PipelinePool& pool);

  bool next_piece(Piece& piece) override;

  // Valid once the piece is taken (or the job failed, for `reached`): the
  // member being read when it failed, whether the group is stored, and each
  // member's CRC and position in the group's bytes.
  size_t reached() const { return reached_; }
  bool stored() const { return stored_; }
  uint32_t crc(size_t k) const { return crcs_[k]; }
  uint32_t position(size_t k) const { return positions_[k]; }
  // Whether member k held more bytes than its size (they are not in the group).
  bool grew(size_t k) const { return grew_[k]; }

 private:
  void read_member(size_t k, std::vector<uint8_t>& group);

  std::vector<uint32_t> sizes_;
  OpenMember open_;
  uint32_t store_margin_;
  const CodingOptions& coding_;
  PipelinePool& pool_;
  std::vector<uint32_t> crcs_;
  std::vector<uint32_t> positions_;
  std::vector<bool> grew_;
  size_t reached_ = 0;
  bool stored_ = false;
  bool done_ = false;
};

// A single file: one piece per chunk of CHUNK_SIZE bytes, its chunk stream,
// all through one codec so that the model carries over.
//
// The blocks are coded here and prepared (the chunk read, checksummed, taken
// through the prepass and cut into blocks, each block filtered) as steps of
// a WorkAhead: an idle worker prepares up to AHEAD blocks ahead while this
// thread codes, otherwise each block is prepared here just before it is
// coded, in the work buffer, as compress_buffer does.
class PackFileJob : public StreamJob {
 public:
  PackFileJob(uint32_t size, OpenMember open, const CodingOptions& coding, PipelinePool& pool);

  bool next_piece(Piece& piece) override;

  // Valid once every piece is taken.
  uint32_t crc() const { return crc_.value(); }
  // Whether the file held more bytes than its size (they are not packed).
  bool grew() const { return grew_; }

 private:
  static constexpr unsigned AHEAD = 3;
  static constexpr unsigned SLOTS = AHEAD + 1;  // the block being coded and those ahead

  bool make_piece(Piece& piece);
  void prepare(uint64_t index, bool ahead, bool on_worker);

  uint32_t size_;
  OpenMember open_;
  const CodingOptions& coding_;
  PipelinePool& pool_;
  uint32_t remaining_;  // bytes of chunks not yet coded
  // Steps only: the input, what is left of it and its checksum.
  uint32_t unread_;
  std::unique_ptr<SequentialInput> input_;
  Crc32 crc_;
  bool grew_ = false;
  std::unique_ptr<StreamCodec> codec_;
  PreparedBlock slots_[SLOTS];
  uint64_t next_block_ = 0;
  std::unique_ptr<WorkAhead> ahead_;  // last: stopped before the rest goes
};

}  // namespace tarn
