// The creation driver (see create.h), step by step as the format orders it.
//
// Files and groups are packed on worker threads (parallel/ordered_streams.h)
// and their pieces written here in table order as they come, so the archive
// is the same for any number of workers and only a few chunks of it wait in
// memory. A single file arrives chunk stream by chunk stream and is written
// as it arrives; when its packed piece turns out not to pay, the archive is
// sought back to the piece's offset and the file copied raw over it, as the
// format's store fallback does (the final truncation cuts off what the
// abandoned piece left behind). A solid group arrives whole, already stored
// or packed. The archive is written strictly forward except for these seeks
// back and the two back-patches at the end (table CRC, header).
#include "archive/create.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/stream_codec.h"
#include "common/byte_order.h"
#include "common/error.h"
#include "files/sorts.h"
#include "parallel/ordered_streams.h"
#include "parallel/work_ahead.h"
#include "pipeline/filters.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {

platform::File open_input(const FileEntry& entry) {
  platform::File input;
  const std::string path = platform::native_path(entry.name);
  if (!input.open_read(path, COPY_PIECE)) raise_error(ErrorCode::IO_ERROR, path + ": " + input.error());
  return input;
}

void read_input(platform::File& input, const FileEntry& entry, uint8_t* data, size_t count) {
  if (input.read_exact(data, count)) return;
  const std::string why = input.error().empty() ? "shorter than when it was selected" : input.error();
  raise_error(ErrorCode::IO_ERROR, platform::native_path(entry.name) + ": " + why);
}

// A solid group: its members read into one buffer and packed as one chunk
// stream. One piece: the group's bytes as they go into the archive, packed,
// or raw when packing does not pay (both forms are in memory, so the choice
// is made before anything is written).
class PackGroupJob : public StreamJob {
 public:
  PackGroupJob(std::vector<FileEntry*> entries, const CodingOptions& coding, PipelinePool& pool)
      : entries_(std::move(entries)), coding_(coding), pool_(pool), crcs_(entries_.size()),
        positions_(entries_.size()) {}

  bool next_piece(Piece& piece) override {
    if (done_) return false;
    done_ = true;
    uint64_t total = 0;
    for (const FileEntry* e : entries_) total += e->size;
    std::vector<uint8_t> group;
    group.reserve(static_cast<size_t>(total));
    for (size_t k = 0; k < entries_.size(); ++k) {
      reached_ = k;
      read_member(k, group);
    }
    std::vector<uint8_t> packed = pack_group_stream(coding_, group, &pool_);  // a copy: the raw group is kept
    stored_ = packed.size() + STORE_MARGIN > group.size();
    piece.bytes = stored_ ? std::move(group) : std::move(packed);
    piece.done = total;
    return true;
  }

  const std::vector<FileEntry*>& entries() const { return entries_; }
  // Valid once the piece is taken (or the job failed, for `reached`).
  size_t reached() const { return reached_; }
  bool stored() const { return stored_; }
  uint32_t crc(size_t k) const { return crcs_[k]; }
  uint32_t position(size_t k) const { return positions_[k]; }

 private:
  // read_into_group
  void read_member(size_t k, std::vector<uint8_t>& group) {
    const FileEntry& e = *entries_[k];
    platform::File input = open_input(e);
    positions_[k] = static_cast<uint32_t>(group.size());
    Crc32 crc;
    crc.begin();
    for (uint32_t remaining = e.size; remaining > 0;) {
      const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
      const size_t at = group.size();
      group.resize(at + piece);
      read_input(input, e, group.data() + at, piece);
      crc.update(group.data() + at, piece);
      remaining -= piece;
    }
    crcs_[k] = crc.value();
  }

  std::vector<FileEntry*> entries_;
  const CodingOptions& coding_;
  PipelinePool& pool_;
  std::vector<uint32_t> crcs_;
  std::vector<uint32_t> positions_;
  size_t reached_ = 0;
  bool stored_ = false;
  bool done_ = false;
};

// compress_file: one piece per chunk of CHUNK_SIZE bytes, its chunk stream,
// all through one codec so that the model carries over.
//
// The blocks are coded here and prepared (the chunk read, checksummed, taken
// through the prepass and cut into blocks, each block filtered) as steps of
// a WorkAhead: an idle worker prepares up to AHEAD blocks ahead while this
// thread codes, otherwise each block is prepared here just before it is
// coded, in the work buffer, as compress_buffer does.
class PackFileJob : public StreamJob {
 public:
  PackFileJob(const FileEntry& entry, const CodingOptions& coding, PipelinePool& pool)
      : entry_(entry), coding_(coding), pool_(pool), remaining_(entry.size), unread_(entry.size) {}

  bool next_piece(Piece& piece) override {
    if (remaining_ == 0) return false;
    try {
      return make_piece(piece);
    } catch (...) {
      if (ahead_) ahead_->stop();
      throw;
    }
  }

  // Valid once every piece is taken.
  uint32_t crc() const { return crc_.value(); }

 private:
  static constexpr unsigned AHEAD = 3;
  static constexpr unsigned SLOTS = AHEAD + 1;  // the block being coded and those ahead

  bool make_piece(Piece& piece) {
    if (!codec_) {
      input_ = open_input(entry_);
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
      report_progress(entry_.size - remaining_ + (length == 0 ? plain : plain * coded / length));
      last = block.ends_chunk;
    }
    remaining_ -= plain;
    piece.bytes = std::move(sink.bytes());
    piece.done = entry_.size - remaining_;
    if (remaining_ == 0) {
      ahead_->stop();
      codec_->finish();
      input_.close();
    }
    return true;
  }

  // Step `index`: the next block, after the next chunk when the last one is
  // used up. Steps past the last block find nothing to do. On a worker, the
  // model heap's next pages are faulted in first.
  void prepare(uint64_t index, bool ahead, bool on_worker) {
    BlockPipeline& pipeline = codec_->pipeline();
    if (on_worker) pipeline.fault_in_heap_ahead(entry_.size);
    PreparedBlock& block = slots_[index % SLOTS];
    if (pipeline.prepare_block(block, ahead) || unread_ == 0) return;
    const uint32_t length = unread_ < CHUNK_SIZE ? unread_ : CHUNK_SIZE;
    std::vector<uint8_t> chunk = pipeline.take_chunk_buffer();
    chunk.resize(length);
    read_input(input_, entry_, chunk.data(), length);
    crc_.update(chunk.data(), length);
    unread_ -= length;
    pipeline.prepare_chunk(std::move(chunk));
    pipeline.prepare_block(block, ahead);
  }

  const FileEntry& entry_;
  const CodingOptions& coding_;
  PipelinePool& pool_;
  uint32_t remaining_;  // bytes of chunks not yet coded
  // Steps only: the input, what is left of it and its checksum.
  uint32_t unread_;
  platform::File input_;
  Crc32 crc_;
  std::unique_ptr<StreamCodec> codec_;
  PreparedBlock slots_[SLOTS];
  uint64_t next_block_ = 0;
  std::unique_ptr<WorkAhead> ahead_;  // last: stopped before the rest goes
};

class Creator {
 public:
  Creator(platform::File& archive, const CreateOptions& options, DriverEvents& events)
      : archive_(archive), options_(options), events_(events) {}

  CreateResult run(FileList& list, PivotGenerator& random);

 private:
  std::vector<FileEntry*> order_entries(FileList& list, PivotGenerator& random, size_t& candidate_count);
  void write_data_area(const std::vector<FileEntry*>& order, size_t candidate_count);
  void write_group(PackGroupJob& job, size_t index, OrderedStreams& runner);
  void write_file(FileEntry& entry, PackFileJob& job, size_t index, OrderedStreams& runner);
  void unpacked_entry(FileEntry& entry);
  void store_file(const FileEntry& entry, platform::File& input, Crc32& crc);
  void write_table_and_header(const std::vector<FileEntry*>& order, uint64_t total);

  void write_or_fail(const void* data, size_t count) {
    if (!archive_.write(data, count)) archive_failed();
  }
  void seek_or_fail(uint64_t position) {
    if (!archive_.seek(position)) archive_failed();
  }
  [[noreturn]] void archive_failed() { raise_error(ErrorCode::IO_ERROR, options_.archive_name + ": " + archive_.error()); }

  platform::File& archive_;
  const CreateOptions& options_;
  DriverEvents& events_;
  PipelinePool pipelines_;  // shared by the workers
  uint64_t header_position_ = 0;
  uint64_t archive_length_ = 0;
};

// Steps 3 to 5: name sort, duplicates, candidates in key order, then the
// other entries in descending name order.
std::vector<FileEntry*> Creator::order_entries(FileList& list, PivotGenerator& random, size_t& candidate_count) {
  std::vector<FileEntry*> v;
  v.reserve(list.count());
  for (FileEntry& e : list.entries()) v.push_back(&e);
  sort_entries_by_name(v, random);
  if (remove_duplicate_entries(v)) events_.duplicates_dropped();

  std::vector<FileEntry*> candidates;
  std::vector<FileEntry*> others;
  for (FileEntry* e : v) {
    if (e == nullptr) continue;
    if (is_solid_candidate(*e, options_)) {
      candidates.push_back(e);
    } else {
      e->flags = 0;
      others.push_back(e);
    }
  }
  if (!candidates.empty()) {
    events_.analysis_started();
    std::vector<uint8_t> sample(ANALYSIS_SAMPLE);
    for (FileEntry* e : candidates) {
      platform::File input = open_input(*e);
      const uint32_t n = e->size < ANALYSIS_SAMPLE ? e->size : ANALYSIS_SAMPLE;
      read_input(input, *e, sample.data(), n);
      e->crc = analysis_value(sample.data(), n);
    }
    sort_entries_by_key(candidates, random);
    assign_solid_groups(candidates);
  }
  candidate_count = candidates.size();
  std::vector<FileEntry*> order = std::move(candidates);
  for (auto it = others.rbegin(); it != others.rend(); ++it) order.push_back(*it);
  return order;
}

// The data area: solid groups, then the other entries, in table order.
// Every group and every file that is packed is a job for the workers;
// directories, empty files and -m0 need no codec and are handled here when
// their turn comes.
void Creator::write_data_area(const std::vector<FileEntry*>& order, size_t candidate_count) {
  std::vector<std::unique_ptr<PackGroupJob>> groups;
  std::vector<std::unique_ptr<PackFileJob>> files;
  struct Step {
    FileEntry* entry = nullptr;  // an entry written here, or the head of a job's entries
    PackGroupJob* group = nullptr;
    PackFileJob* file = nullptr;
  };
  std::vector<Step> steps;
  std::vector<StreamJob*> jobs;
  for (const EntryGroup& g : split_into_groups(candidate_count, [&](size_t i) { return order[i]->flags; })) {
    std::vector<FileEntry*> members(order.begin() + g.first, order.begin() + g.first + g.count);
    groups.push_back(std::make_unique<PackGroupJob>(std::move(members), options_.coding, pipelines_));
    steps.push_back({nullptr, groups.back().get(), nullptr});
    jobs.push_back(groups.back().get());
  }
  for (size_t i = candidate_count; i < order.size(); ++i) {
    FileEntry* e = order[i];
    if (options_.coding.method == METHOD_STORE || e->is_directory() || e->size == 0) {
      steps.push_back({e, nullptr, nullptr});
      continue;
    }
    files.push_back(std::make_unique<PackFileJob>(*e, options_.coding, pipelines_));
    steps.push_back({e, nullptr, files.back().get()});
    jobs.push_back(files.back().get());
  }

  // Pieces that run ahead of the archive wait in spill files beside it.
  const std::string spill_directory = options_.archive_name.substr(0, options_.archive_name.find_last_of("/\\") + 1);
  OrderedStreams runner(options_.workers, jobs, &spill_directory);
  size_t next_job = 0;
  for (const Step& step : steps) {
    if (step.group != nullptr) {
      write_group(*step.group, next_job, runner);
    } else if (step.file != nullptr) {
      write_file(*step.entry, *step.file, next_job, runner);
    } else {
      unpacked_entry(*step.entry);
      continue;
    }
    runner.release(next_job++);
  }
}

// The progress lines of the group's entries (for a failed group, up to the
// entry that failed), then its piece at the current archive position.
void Creator::write_group(PackGroupJob& job, size_t index, OrderedStreams& runner) {
  const std::vector<FileEntry*>& entries = job.entries();
  Piece piece;
  try {
    runner.take(index, piece);
  } catch (...) {
    for (size_t k = 0; k <= job.reached(); ++k) {
      events_.entry_started(*entries[k], 0);
      events_.entry_finished();
    }
    throw;
  }
  for (FileEntry* e : entries) {
    events_.entry_started(*e, 0);
    events_.entry_finished();
  }
  FileEntry& head = *entries[0];
  head.offset = static_cast<uint32_t>(archive_.tell());
  write_or_fail(piece.bytes.data(), piece.bytes.size());
  head.packed_size = static_cast<uint32_t>(piece.bytes.size());
  if (job.stored()) head.flags |= FLAG_STORED;
  for (size_t k = 0; k < entries.size(); ++k) {
    FileEntry& e = *entries[k];
    e.crc = job.crc(k);
    if (k > 0) {
      e.offset = job.position(k);
      e.packed_size = 0;
    }
  }
}

// A packed single file, written chunk stream by chunk stream as the worker
// makes them; then the store fallback if the piece did not pay.
void Creator::write_file(FileEntry& entry, PackFileJob& job, size_t index, OrderedStreams& runner) {
  events_.entry_started(entry, entry.size);
  entry.offset = static_cast<uint32_t>(archive_.tell());
  Piece piece;
  const std::function<void()> tick = [&] { events_.entry_progress(job.progress()); };
  while (runner.take(index, piece, tick)) {
    write_or_fail(piece.bytes.data(), piece.bytes.size());
    events_.entry_progress(piece.done);
  }
  const uint64_t produced = archive_.tell() - entry.offset;
  if (produced + STORE_MARGIN > entry.size) {
    seek_or_fail(entry.offset);
    platform::File input = open_input(entry);
    Crc32 crc;
    store_file(entry, input, crc);
    entry.crc = crc.value();
    entry.packed_size = entry.size;
    entry.flags |= FLAG_STORED;
  } else {
    entry.crc = job.crc();
    entry.packed_size = static_cast<uint32_t>(produced);
  }
  events_.entry_finished();
}

void Creator::store_file(const FileEntry& entry, platform::File& input, Crc32& crc) {
  crc.begin();
  std::vector<uint8_t> buffer(entry.size < COPY_PIECE ? entry.size : COPY_PIECE);
  uint32_t remaining = entry.size;
  while (remaining > 0) {
    const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
    read_input(input, entry, buffer.data(), piece);
    crc.update(buffer.data(), piece);
    write_or_fail(buffer.data(), piece);
    remaining -= piece;
    events_.entry_progress(entry.size - remaining);
  }
}

// An entry that needs no codec: a directory writes nothing; with -m0, and
// for an empty file (which packs to nothing and is always stored), the
// bytes are copied raw.
void Creator::unpacked_entry(FileEntry& entry) {
  if (entry.is_directory()) {
    entry.crc = 0;
    entry.packed_size = 0;
    entry.offset = 0;
    return;
  }
  events_.entry_started(entry, entry.size);
  platform::File input = open_input(entry);
  entry.offset = static_cast<uint32_t>(archive_.tell());
  Crc32 crc;
  store_file(entry, input, crc);
  entry.packed_size = entry.size;
  entry.flags |= FLAG_STORED;
  entry.crc = crc.value();
  events_.entry_finished();
}

void Creator::write_table_and_header(const std::vector<FileEntry*>& order, uint64_t total) {
  const uint64_t data_end = archive_.tell();
  const uint8_t zero[4] = {0, 0, 0, 0};
  write_or_fail(zero, 4);
  Crc32 crc;
  crc.begin();
  for (const FileEntry* e : order) {
    const std::string record = encode_record(*e);
    crc.update(reinterpret_cast<const uint8_t*>(record.data()), record.size());
    write_or_fail(record.data(), record.size());
  }
  archive_length_ = archive_.tell();
  if (!archive_.truncate(archive_length_)) archive_failed();
  uint8_t crc_bytes[4];
  store_le32(crc_bytes, crc.value());
  seek_or_fail(data_end);
  write_or_fail(crc_bytes, 4);
  ArchiveHeader header;
  header.total_size = static_cast<uint32_t>(total);
  header.entry_count = static_cast<uint32_t>(order.size());
  header.data_length = static_cast<uint32_t>(data_end - header_position_ - HEADER_SIZE);
  header.method = options_.coding.method;
  const auto bytes = encode_header(header);
  seek_or_fail(header_position_);
  write_or_fail(bytes.data(), bytes.size());
  if (!archive_.flush()) archive_failed();
}

CreateResult Creator::run(FileList& list, PivotGenerator& random) {
  if (list.empty()) raise_error(ErrorCode::NOTHING_TO_DO);
  if (options_.self_extracting) append_sfx_stub(archive_);

  size_t candidate_count = 0;
  const std::vector<FileEntry*> order = order_entries(list, random, candidate_count);

  uint64_t total = 0;
  for (const FileEntry* e : order) {
    total += e->size;
    if (total > TOTAL_SIZE_LIMIT) raise_error(ErrorCode::ARCHIVE_TOO_BIG);
  }
  events_.packing_started(options_.coding.method == METHOD_STORE, order.size(), total);

  header_position_ = archive_.tell();
  const uint8_t header_room[HEADER_SIZE] = {};
  write_or_fail(header_room, HEADER_SIZE);

  write_data_area(order, candidate_count);

  events_.writing_header();
  write_table_and_header(order, total);

  events_.freeing_memory();
  list.clear();
  events_.archive_created(total, archive_length_);
  return CreateResult{total, archive_length_};
}

}  // namespace

bool is_solid_candidate(const FileEntry& entry, const CreateOptions& options) {
  return options.solid_blocks && options.coding.method != METHOD_STORE && !entry.is_directory() &&
         entry.size >= 1 && entry.size <= SOLID_FILE_LIMIT;
}

void assign_solid_groups(const std::vector<FileEntry*>& candidates) {
  uint32_t total = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    FileEntry* e = candidates[i];
    if (i > 0 && total + e->size <= SOLID_GROUP_LIMIT) {
      total += e->size;
      e->flags = FLAG_SOLID_CONTINUATION;
    } else {
      total = e->size;
      e->flags = 0;
    }
  }
}

void append_sfx_stub(platform::File& archive) {
  platform::File stub;
  if (!stub.open_read(SFX_STUB_NAME, 64 * 1024))
    raise_error(ErrorCode::SFX_APPEND, std::string(SFX_STUB_NAME) + ": " + stub.error());
  const uint64_t length = stub.length();
  if (length > SFX_STUB_LIMIT) raise_error(ErrorCode::SFX_TOO_BIG);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!stub.read_exact(bytes.data(), bytes.size())) raise_error(ErrorCode::SFX_APPEND);
  if (!archive.write(bytes.data(), bytes.size())) raise_error(ErrorCode::IO_ERROR, archive.error());
}

uint32_t analysis_value(const uint8_t* sample, uint32_t n) {
  const double cost = context_sorted_cost(sample, n, mtf_cost16);
  return static_cast<uint32_t>(cost * 1000000.0);
}

CreateResult create_archive(platform::File& archive, FileList& list, const CreateOptions& options,
                            PivotGenerator& random, DriverEvents& events) {
  Creator creator(archive, options, events);
  return creator.run(list, random);
}

}  // namespace tarn
