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

#include <deque>
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
// The coders decode the blocks here; restoring them (inverse filters) and
// finishing each chunk (prepass restore, checksum) are the steps of a
// WorkAhead, which a free worker runs while this thread decodes on. The
// next block is decoded as soon as it is certain to come: the restored
// lengths so far and the longest the blocks not yet restored can restore
// to tell that before they are restored. Without a free worker each block
// is decoded into the work buffer and restored there at once, as
// decode_buffer does. Whatever goes wrong, the failures and the pieces come
// out in the order of a single thread: a failure of the coders waits until
// the steps before it have run and the chunks before it are handed out.
class DecodeJob : public StreamJob {
 public:
  DecodeJob(const std::string& archive_name, uint64_t archive_length, std::vector<const FileEntry*> entries,
            bool keep_bytes, const CodingOptions& coding, PipelinePool& pool)
      : archive_name_(archive_name), archive_length_(archive_length), entries_(std::move(entries)),
        keep_bytes_(keep_bytes), coding_(coding), pool_(pool), results_(entries_.size()) {
    for (const FileEntry* e : entries_) total_ += e->size;
    unannounced_ = total_;
    unfinished_ = total_;
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

  bool group() const { return entries_.size() > 1; }

  bool make_piece(Piece& piece) {
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

  void start() {
    if (!file_.open_read(archive_name_)) raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + file_.error());
    const FileEntry& head = *entries_[0];
    const uint64_t claimed_end = static_cast<uint64_t>(head.offset) + head.packed_size;
    inside_file_ = claimed_end <= archive_length_;
    source_ = std::make_unique<ArchiveSource>(file_, head.offset, inside_file_ ? claimed_end : archive_length_);
    codec_ = std::make_unique<StreamCodec>(coding_, &pool_);
    ahead_ = std::make_unique<WorkAhead>(*this, [this](uint64_t index, bool, bool on_worker) {
      if (on_worker) codec_->pipeline().fault_in_heap_ahead(total_);
      run_step(index);
    });
    file_crc_.begin();
  }

  // The next finished chunk, or the first failure in the order of a single
  // thread.
  Finished next_chunk() {
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

  Finished take_finished() {
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
  void decode_next() {
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
  void plan(const Plan& p, bool ahead) {
    if (steps_ >= PLANS) ahead_->wait(steps_ - PLANS);  // its plan has been read
    plans_[steps_ % PLANS] = p;
    if (p.step == Step::FINISH) finish_steps_[finishes_++ % 2] = steps_;
    ++steps_;
    if (ahead) ahead_->allow(steps_);
  }

  // Waits for the restore of the oldest block waiting for one.
  void wait_oldest() {
    const uint64_t step = pending_.front().first;
    ahead_->wait(step);
    known_ = slots_[plans_[step % PLANS].slot].position_after;
    pending_.pop_front();
  }

  void run_step(uint64_t index) {
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
  void finish_chunk() {
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
  uint64_t total_ = 0;  // the entries' bytes
  uint64_t done_ = 0;
  Crc32 file_crc_;
  platform::File file_;
  std::unique_ptr<ArchiveSource> source_;
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
  uint64_t selected = 0;
  uint64_t selected_bytes = 0;
  for (const Group& group : groups) {
    for (const FileEntry* e : group.entries) {
      if (!wildcards_.entry_selected(e->name)) continue;
      ++selected;
      if (!e->is_directory()) selected_bytes += e->size;
    }
  }
  events_.extraction_started(selected, selected_bytes);

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
      const std::function<void()> tick = [&] { events_.entry_progress(group.job->progress()); };
      while (runner_->take(job_index, piece, tick)) {
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
