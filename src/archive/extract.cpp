// The extraction driver (see extract.h).
//
// Packed files and groups are decoded on worker threads
// (parallel/ordered_streams.h), each through its own handle on the archive,
// while this thread takes their bytes in table order, checks them and
// writes the files: the files, the messages and their order are the same
// for any number of workers, and only a few decoded chunks wait in memory.
//
// A piece that fails to decode (a bad block header, an over-long block,
// lengths that do not add up, a stream that runs past the piece's end) is
// a CRC failure of its selected entries: what was decoded is kept and the
// run goes on with the next piece. Only the file table's damage, the
// archive's own end and the system's failures end the run.
//
// Every file is written to a temporary beside its destination and renamed
// over it when its bytes are complete (files/pending_file.h), so that a
// failure or a signal leaves the files that were there as they were. An
// entry whose output path is the archive being read, or longer than the
// system takes, is left out with a note; it is still tested.
#include "archive/extract.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "archive/archive_source.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/stream_codec.h"
#include "common/error.h"
#include "files/output_tree.h"
#include "files/pending_file.h"
#include "parallel/ordered_streams.h"
#include "parallel/work_ahead.h"
#include "platform/dos_time.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {

// A packed single file (one piece per chunk stream) or a packed solid group
// (one piece: the whole group), decoded through its own handle on the
// archive. The job also checks what it decodes: the CRC of the file, or of
// every member of the group over its own bytes, so that a test needs no
// bytes at all (`keep_bytes` false: the pieces carry only the progress)
// and every worker checksums its own data. A damaged stream ends the job
// with a piece marked damaged that holds what could be kept.
//
// The blocks are decoded as steps of a WorkAhead and restored here: while
// this thread undoes the filter of one block (and finishes a chunk: the
// prepass restore, the checksum), an idle worker decodes the next -- as
// soon as the next block is certain to come, which the longest the current
// one can restore to tells before it is restored. Without a free worker
// each block is decoded here when it is needed, in the work buffer, as
// decode_buffer does.
class DecodeJob : public StreamJob {
 public:
  DecodeJob(const std::string& archive_name, uint64_t archive_length, std::vector<const FileEntry*> entries,
            bool keep_bytes, const CodingOptions& coding, PipelinePool& pool)
      : archive_name_(archive_name), archive_length_(archive_length), entries_(std::move(entries)),
        keep_bytes_(keep_bytes), coding_(coding), pool_(pool), results_(entries_.size()) {
    for (const FileEntry* e : entries_) remaining_ += e->size;
    total_ = remaining_;
  }

  bool next_piece(Piece& piece) override {
    if (finished_) return false;
    try {
      return make_piece(piece);
    } catch (...) {
      if (ahead_) ahead_->stop();
      throw;
    }
  }

  // Per entry (valid once every piece is taken): the CRC of its bytes and
  // whether its piece was damaged.
  struct Result {
    uint32_t crc = 0;
    bool damaged = false;
  };
  const Result& result(size_t k) const { return results_[k]; }

 private:
  // The step's result: a decoded block and, for the first of a chunk, the
  // chunk's header. The job moves the block into the work buffer before it
  // lets the next step run.
  struct Ahead {
    bool starts_chunk = false;  // set by the job before the step may run
    bool header_read = false;
    PrepassHeader prepass;
    CodedBlock block;
  };

  bool group() const { return entries_.size() > 1; }

  bool make_piece(Piece& piece) {
    if (!codec_) start();
    std::vector<uint8_t> chunk;
    try {
      chunk = decode_chunk();
    } catch (const TarnError& e) {
      if (!is_damage(e)) throw;
      return end(piece, {}, true);
    }
    if (group()) {
      // The group's byte sequence is its members back to back.
      const bool damaged = chunk.size() != remaining_;
      check_members(chunk, damaged);
      return end(piece, std::move(chunk), damaged);
    }
    if (chunk.empty() || chunk.size() > remaining_) {
      // The chunks do not add up to the file's size: keep what fits.
      if (chunk.size() > remaining_) chunk.resize(static_cast<size_t>(remaining_));
      file_crc_.update(chunk.data(), chunk.size());
      return end(piece, std::move(chunk), true);
    }
    file_crc_.update(chunk.data(), chunk.size());
    remaining_ -= chunk.size();
    if (remaining_ == 0) return end(piece, std::move(chunk), false);
    return hand_out(piece, std::move(chunk));
  }

  void start() {
    if (!file_.open_read(archive_name_)) raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + file_.error());
    const FileEntry& head = *entries_[0];
    const uint64_t claimed_end = static_cast<uint64_t>(head.offset) + head.packed_size;
    inside_file_ = claimed_end <= archive_length_;
    source_ = std::make_unique<ArchiveSource>(file_, head.offset, inside_file_ ? claimed_end : archive_length_);
    codec_ = std::make_unique<StreamCodec>(coding_, &pool_);
    ahead_ = std::make_unique<WorkAhead>(*this, [this](uint64_t index, bool ahead) { decode(index, ahead); });
    file_crc_.begin();
  }

  // Step `index`: decodes block `index` of the stream, after reading the
  // chunk stream's start when the block starts a chunk.
  void decode(uint64_t /*index*/, bool ahead) {
    BlockPipeline& pipeline = codec_->pipeline();
    ahead_slot_.header_read = false;
    if (ahead_slot_.starts_chunk) {
      ahead_slot_.prepass = pipeline.start_chunk_decode(*source_);
      ahead_slot_.header_read = true;
    }
    pipeline.decode_block_ahead(ahead_slot_.block, ahead);
  }

  // Says whether step `index` starts a chunk, once, before it may run.
  void plan(uint64_t index, bool starts_chunk) {
    if (index < planned_) return;
    ahead_slot_.starts_chunk = starts_chunk;
    planned_ = index + 1;
  }

  // Block `index`, decoded, into the work buffer; for the first block of a
  // chunk also the chunk's room, which decode_buffer takes between the
  // chunk's header and its first block (so running out of memory there
  // comes before a damaged first block, as it did).
  CodedBlock take_block(uint64_t index, DecodedChunk* chunk) {
    BlockPipeline& pipeline = codec_->pipeline();
    try {
      ahead_->wait(index);
    } catch (...) {
      if (chunk != nullptr && ahead_slot_.header_read) pipeline.start_chunk_output(*chunk, ahead_slot_.prepass);
      throw;
    }
    if (chunk != nullptr) pipeline.start_chunk_output(*chunk, ahead_slot_.prepass);
    pipeline.receive_block(ahead_slot_.block);
    CodedBlock block;
    block.type = ahead_slot_.block.type;
    block.length = ahead_slot_.block.length;
    return block;
  }

  // decode_buffer, block by block: the next chunk stream's bytes.
  std::vector<uint8_t> decode_chunk() {
    BlockPipeline& pipeline = codec_->pipeline();
    const uint64_t base = total_ - remaining_;
    uint64_t index = next_block_;
    plan(index, true);
    DecodedChunk chunk;
    CodedBlock block = take_block(index, &chunk);
    const uint32_t n = chunk.prepass.coded_length;
    for (;;) {
      if (chunk.position + static_cast<uint64_t>(pipeline.restored_length_bound(block)) < n) {
        plan(index + 1, false);
        ahead_->allow(index + 2);
      }
      pipeline.restore_block(block, chunk);
      report_progress(base + static_cast<uint64_t>(chunk.prepass.plain_length) * chunk.position / (n == 0 ? 1 : n));
      ++index;
      if (chunk.blocks_complete()) break;
      plan(index, false);
      block = take_block(index, nullptr);
    }
    next_block_ = index;
    // The next chunk starts while this one is finished and checked.
    const uint32_t plain = chunk.prepass.plain_length;
    plan(index, true);
    if (!group() && plain > 0 && plain < remaining_) ahead_->allow(index + 1);
    pipeline.finish_chunk_decode(chunk);
    return std::move(chunk.bytes);
  }

  // A stream that breaks its own rules, or runs past its piece, is damage;
  // one that runs past the end of the archive is the archive's end.
  bool is_damage(const TarnError& e) const {
    return e.code() == ErrorCode::HEADER_DAMAGE || (e.code() == ErrorCode::UNEXPECTED_EOF && inside_file_);
  }

  // write_member's view: every member's bytes at its position in the group.
  void check_members(const std::vector<uint8_t>& data, bool damaged) {
    for (size_t k = 0; k < entries_.size(); ++k) {
      const FileEntry& e = *entries_[k];
      const uint64_t position = k == 0 ? 0 : e.offset;
      const uint64_t start = position < data.size() ? position : data.size();
      const uint64_t end = position + e.size <= data.size() ? position + e.size : data.size();
      results_[k].crc = crc32_of(data.data() + start, static_cast<size_t>(end - start));
      results_[k].damaged = damaged || position + e.size > data.size();
    }
  }

  bool hand_out(Piece& piece, std::vector<uint8_t> bytes) {
    done_ += bytes.size();
    piece.done = done_;
    if (keep_bytes_) piece.bytes = std::move(bytes);
    return true;
  }

  bool end(Piece& piece, std::vector<uint8_t> bytes, bool damaged) {
    finished_ = true;
    ahead_->stop();
    if (!group()) results_[0] = {file_crc_.value(), damaged};
    else if (damaged && bytes.empty()) check_members(bytes, true);
    if (damaged) codec_.reset();
    else codec_->finish();
    file_.close();
    piece.damaged = damaged;
    return hand_out(piece, std::move(bytes));
  }

  const std::string& archive_name_;
  uint64_t archive_length_;
  std::vector<const FileEntry*> entries_;
  bool keep_bytes_;
  const CodingOptions& coding_;
  PipelinePool& pool_;
  std::vector<Result> results_;
  uint64_t remaining_ = 0;
  uint64_t total_ = 0;
  uint64_t done_ = 0;
  Crc32 file_crc_;
  platform::File file_;
  std::unique_ptr<ArchiveSource> source_;
  std::unique_ptr<StreamCodec> codec_;
  bool inside_file_ = true;
  bool finished_ = false;
  Ahead ahead_slot_;
  uint64_t next_block_ = 0;
  uint64_t planned_ = 0;  // steps whose slot says whether they start a chunk
  std::unique_ptr<WorkAhead> ahead_;  // last: stopped before the rest goes
};

// Where one entry's bytes go: a pending file, or nowhere (test, skipped),
// and what was found of them.
struct EntryOutput {
  PendingFile file;
  bool writing = false;
  Crc32 crc;  // of the bytes taken here, unless a decoder checked them
  bool damaged = false;

  void write(const uint8_t* data, size_t count) {
    if (writing && !file.file().write(data, count))
      raise_error(ErrorCode::IO_ERROR, file.target() + ": " + file.file().error());
  }
  void take(const uint8_t* data, size_t count) {
    crc.update(data, count);
    write(data, count);
  }
};

class Extractor {
 public:
  Extractor(ArchiveReader& archive, const WildcardList& wildcards, const ExtractOptions& options,
            DriverEvents& events)
      : archive_(archive), wildcards_(wildcards), options_(options), events_(events), tree_(options.output_dir) {
    coding_.method = archive.header().method;  // every filter allowed
    has_archive_id_ = archive.file().identity(archive_id_);
  }

  ExtractResult run(const FileList& entries);

 private:
  struct Group {
    std::vector<const FileEntry*> entries;
    DecodeJob* job = nullptr;
  };
  void process_group(const Group& group, size_t job_index);
  // Counts and shows the entry, then produces its bytes with `feed` into
  // its output and checks them against the CRC: `feed` returns the CRC the
  // decoder found, or nothing when the output computed it.
  void process_entry(const FileEntry& entry, const std::function<std::optional<uint32_t>(EntryOutput&)>& feed);
  void open_output(const FileEntry& entry, EntryOutput& out);
  void make_directory(const FileEntry& entry);
  void finish_output(const FileEntry& entry, EntryOutput& out, uint32_t crc);
  void copy_stored(const FileEntry& entry, EntryOutput& out);
  std::vector<uint8_t> read_stored_group(const FileEntry& head);
  // The output path of an entry (stored form), after the unsafe-path
  // warning; empty when the entry writes nothing.
  std::string output_path(const FileEntry& entry);

  ArchiveReader& archive_;
  const WildcardList& wildcards_;
  const ExtractOptions& options_;
  DriverEvents& events_;
  OutputTree tree_;
  CodingOptions coding_;
  platform::FileId archive_id_;
  bool has_archive_id_ = false;
  PipelinePool pipelines_;  // shared by the workers
  ExtractResult result_;
  OrderedStreams* runner_ = nullptr;
};

// The groups holding a selected entry are found first; the packed ones are
// decoded on the workers while the groups are processed here in table
// order, so the files, messages and order are those of a single thread.
ExtractResult Extractor::run(const FileList& entries) {
  events_.decompressing();
  const auto& all = entries.entries();
  std::vector<Group> groups;
  std::vector<std::unique_ptr<DecodeJob>> decoders;
  std::vector<StreamJob*> jobs;
  const uint64_t archive_length = archive_.length();
  for (const EntryGroup& g : split_into_groups(all.size(), [&](size_t i) { return all[i].flags; })) {
    Group group;
    bool any = false;
    for (size_t k = 0; k < g.count; ++k) {
      const FileEntry& e = all[g.first + k];
      group.entries.push_back(&e);
      any = any || wildcards_.entry_selected(e.name);
    }
    if (!any) continue;
    const FileEntry& head = *group.entries[0];
    const bool packed = (head.flags & FLAG_STORED) == 0;
    if (packed && (g.count > 1 || (!head.is_directory() && head.size > 0))) {
      decoders.push_back(std::make_unique<DecodeJob>(archive_.archive_name(), archive_length, group.entries,
                                                     options_.write_files, coding_, pipelines_));
      group.job = decoders.back().get();
      jobs.push_back(group.job);
    }
    groups.push_back(std::move(group));
  }

  OrderedStreams runner(options_.workers, jobs);
  runner_ = &runner;
  size_t next_job = 0;
  for (const Group& group : groups) {
    process_group(group, next_job);
    if (group.job != nullptr) runner.release(next_job++);
  }
  runner_ = nullptr;

  if (result_.processed == 0) raise_error(ErrorCode::NOTHING_TO_DO);
  events_.extraction_finished(options_.write_files, result_.processed, result_.crc_failed);
  return result_;
}

void Extractor::process_group(const Group& group, size_t job_index) {
  const FileEntry& head = *group.entries[0];
  if (group.entries.size() == 1) {
    process_entry(head, [&](EntryOutput& out) -> std::optional<uint32_t> {
      if (head.size == 0 || head.is_directory()) return std::nullopt;
      if (group.job == nullptr) {
        copy_stored(head, out);
        return std::nullopt;
      }
      Piece piece;
      while (runner_->take(job_index, piece)) {
        out.write(piece.bytes.data(), piece.bytes.size());
        events_.entry_progress(piece.done);
      }
      out.damaged = group.job->result(0).damaged;
      return group.job->result(0).crc;
    });
    return;
  }
  std::vector<uint8_t> data;  // the group's bytes, unless only tested
  if (group.job != nullptr) {
    Piece piece;
    if (runner_->take(job_index, piece)) data = std::move(piece.bytes);
  } else {
    data = read_stored_group(head);
  }
  for (size_t k = 0; k < group.entries.size(); ++k) {
    const FileEntry& e = *group.entries[k];
    if (!wildcards_.entry_selected(e.name)) continue;
    process_entry(e, [&](EntryOutput& out) -> std::optional<uint32_t> {
      // write_member: the member's bytes at its position in the group.
      const uint64_t position = k == 0 ? 0 : e.offset;
      const uint64_t available = data.size();
      const uint64_t start = position < available ? position : available;
      const uint64_t end = position + e.size <= available ? position + e.size : available;
      if (group.job != nullptr) {
        out.write(data.data() + start, static_cast<size_t>(end - start));
        out.damaged = group.job->result(k).damaged;
        return group.job->result(k).crc;
      }
      out.take(data.data() + start, static_cast<size_t>(end - start));
      out.damaged = position + e.size > available;
      return std::nullopt;
    });
  }
}

void Extractor::process_entry(const FileEntry& entry,
                              const std::function<std::optional<uint32_t>(EntryOutput&)>& feed) {
  ++result_.processed;
  events_.entry_started(entry, entry.is_directory() ? 0 : entry.size);
  if (entry.is_directory()) {
    if (options_.write_files && options_.keep_paths) make_directory(entry);
  } else {
    EntryOutput out;
    open_output(entry, out);
    out.crc.begin();
    const std::optional<uint32_t> checked = feed(out);
    finish_output(entry, out, checked ? *checked : out.crc.value());
  }
  events_.entry_finished();
}

std::string Extractor::output_path(const FileEntry& entry) {
  OutputTarget target = tree_.target_for(entry.name, options_.keep_paths);
  if (target.relative.empty() && !entry.is_directory()) {
    target.relative.push_back('_');  // empty here
    target.path += '_';
  }
  if (target.changed()) events_.unsafe_path(target.asked, target.relative);
  if (target.relative.empty()) return {};  // the output directory itself: left as it is
  if (!platform::path_fits(platform::native_path(target.path))) {
    events_.entry_skipped(entry, SkipReason::NAME_TOO_LONG);
    return {};
  }
  return target.path;
}

// A directory entry with paths: the directory and its parents, then its
// stored permission bits (its contents came before it in the table).
void Extractor::make_directory(const FileEntry& entry) {
  const std::string path = output_path(entry);
  if (path.empty()) return;
  const std::string directory = path + '\\';
  tree_.check_no_escaping_link(directory);
  tree_.make_directories(directory);
  platform::restore_directory_mode(platform::native_path(directory), entry.attributes);
}

void Extractor::open_output(const FileEntry& entry, EntryOutput& out) {
  if (!options_.write_files) return;
  const std::string path = output_path(entry);
  if (path.empty()) return;
  tree_.check_no_escaping_link(path);
  tree_.make_directories(path);
  const std::string native = platform::native_path(path);
  platform::FileId existing;
  if (platform::path_identity(native, existing)) {
    if (has_archive_id_ && existing == archive_id_) {
      events_.entry_skipped(entry, SkipReason::IS_THE_ARCHIVE);
      return;
    }
    if (platform::is_directory(native) && !platform::is_symlink(native))
      raise_error(ErrorCode::IO_ERROR, native + ": a directory of that name exists");
  }
  std::string error;
  if (!out.file.create(native, COPY_PIECE, false, error)) raise_error(ErrorCode::IO_ERROR, native + ": " + error);
  out.writing = true;
}

void Extractor::finish_output(const FileEntry& entry, EntryOutput& out, uint32_t crc) {
  if (out.damaged || crc != entry.crc) {
    result_.crc_failed = true;
    events_.crc_failed(entry);
  }
  if (!out.writing) return;
  const int64_t mtime = platform::dos_to_unix(entry.dos_date, entry.dos_time);
  std::string error;
  const bool committed = out.file.commit(
      false, [&](const std::string& temporary) { platform::restore_file_metadata(temporary, entry.attributes, mtime); },
      error);
  if (!committed) raise_error(ErrorCode::IO_ERROR, out.file.target() + ": " + error);
}

void Extractor::copy_stored(const FileEntry& entry, EntryOutput& out) {
  platform::File& file = archive_.file();
  if (!file.seek(entry.offset)) raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": " + file.error());
  std::vector<uint8_t> buffer(entry.size < COPY_PIECE ? entry.size : COPY_PIECE);
  for (uint32_t remaining = entry.size; remaining > 0;) {
    const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
    if (!file.read_exact(buffer.data(), piece))
      raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": stored data past the end of the file");
    out.take(buffer.data(), piece);
    remaining -= piece;
    events_.entry_progress(entry.size - remaining);
  }
}

std::vector<uint8_t> Extractor::read_stored_group(const FileEntry& head) {
  // Checked against the file before the buffer is allocated.
  const uint64_t length = archive_.length();
  if (head.offset > length || head.packed_size > length - head.offset)
    raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": stored data past the end of the file");
  std::vector<uint8_t> data(head.packed_size);
  platform::File& file = archive_.file();
  if (!file.seek(head.offset) || !file.read_exact(data.data(), data.size()))
    raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": " + file.error());
  return data;
}

}  // namespace

ExtractResult extract_archive(ArchiveReader& archive, const FileList& entries, const WildcardList& wildcards,
                              const ExtractOptions& options, DriverEvents& events) {
  Extractor extractor(archive, wildcards, options, events);
  return extractor.run(entries);
}

}  // namespace tarn
