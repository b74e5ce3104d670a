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

#include <memory>
#include <vector>

#include "archive/archive_source.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/stream_codec.h"
#include "common/error.h"
#include "files/output_tree.h"
#include "files/pending_file.h"
#include "parallel/ordered_streams.h"
#include "platform/dos_time.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {

// A packed single file (one piece per chunk stream) or a packed solid group
// (one piece: the whole group), decoded through its own handle on the
// archive. A damaged stream ends the job with a piece marked damaged that
// holds what could be kept.
class DecodeJob : public StreamJob {
 public:
  DecodeJob(const std::string& archive_name, uint64_t archive_length, const FileEntry& head, uint64_t expected,
            bool group, const CodingOptions& coding, PipelinePool& pool)
      : archive_name_(archive_name), archive_length_(archive_length), head_(head), remaining_(expected),
        group_(group), coding_(coding), pool_(pool) {}

  bool next_piece(Piece& piece) override {
    if (finished_) return false;
    if (!codec_) start();
    std::vector<uint8_t> chunk;
    try {
      chunk = codec_->decode_chunk(*source_);
    } catch (const TarnError& e) {
      if (!is_damage(e)) throw;
      return end_damaged(piece);
    }
    if (group_) {
      // The group's byte sequence is its members back to back.
      piece.damaged = chunk.size() != remaining_;
      piece.bytes = std::move(chunk);
      return end(piece);
    }
    if (chunk.empty() || chunk.size() > remaining_) {
      // The chunks do not add up to the file's size: keep what fits.
      if (chunk.size() > remaining_) chunk.resize(static_cast<size_t>(remaining_));
      piece.bytes = std::move(chunk);
      return end_damaged(piece);
    }
    remaining_ -= chunk.size();
    done_ += chunk.size();
    piece.bytes = std::move(chunk);
    piece.done = done_;
    if (remaining_ == 0) return end(piece);
    return true;
  }

 private:
  void start() {
    if (!file_.open_read(archive_name_)) raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + file_.error());
    const uint64_t claimed_end = static_cast<uint64_t>(head_.offset) + head_.packed_size;
    inside_file_ = claimed_end <= archive_length_;
    source_ = std::make_unique<ArchiveSource>(file_, head_.offset, inside_file_ ? claimed_end : archive_length_);
    codec_ = std::make_unique<StreamCodec>(coding_, &pool_);
  }

  // A stream that breaks its own rules, or runs past its piece, is damage;
  // one that runs past the end of the archive is the archive's end.
  bool is_damage(const TarnError& e) const {
    return e.code() == ErrorCode::HEADER_DAMAGE || (e.code() == ErrorCode::UNEXPECTED_EOF && inside_file_);
  }

  bool end(Piece& piece) {
    finished_ = true;
    if (piece.damaged) codec_.reset();
    else codec_->finish();
    file_.close();
    return true;
  }
  bool end_damaged(Piece& piece) {
    piece.damaged = true;
    piece.done = done_ + piece.bytes.size();
    return end(piece);
  }

  const std::string& archive_name_;
  uint64_t archive_length_;
  const FileEntry& head_;
  uint64_t remaining_;
  uint64_t done_ = 0;
  bool group_;
  const CodingOptions& coding_;
  PipelinePool& pool_;
  platform::File file_;
  std::unique_ptr<ArchiveSource> source_;
  std::unique_ptr<StreamCodec> codec_;
  bool inside_file_ = true;
  bool finished_ = false;
};

// Where one entry's bytes go: a pending file, or nowhere (test, skipped).
struct EntryOutput {
  PendingFile file;
  bool writing = false;
  Crc32 crc;
  bool damaged = false;

  void take(const uint8_t* data, size_t count) {
    crc.update(data, count);
    if (writing && !file.file().write(data, count))
      raise_error(ErrorCode::IO_ERROR, file.target() + ": " + file.file().error());
  }
};

// A group's bytes: read (stored) or decoded (packed), and whether its piece
// was damaged.
struct GroupData {
  std::vector<uint8_t> bytes;
  bool damaged = false;
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
  // its output and checks them.
  template <typename Feed>
  void process_entry(const FileEntry& entry, Feed feed);
  void open_output(const FileEntry& entry, EntryOutput& out);
  void make_directory(const FileEntry& entry);
  void finish_output(const FileEntry& entry, EntryOutput& out);
  void copy_stored(const FileEntry& entry, EntryOutput& out);
  GroupData read_stored_group(const FileEntry& head);
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
    uint64_t total = 0;
    for (size_t k = 0; k < g.count; ++k) {
      const FileEntry& e = all[g.first + k];
      group.entries.push_back(&e);
      any = any || wildcards_.entry_selected(e.name);
      total += e.size;
    }
    if (!any) continue;
    const FileEntry& head = *group.entries[0];
    const bool packed = (head.flags & FLAG_STORED) == 0;
    if (packed && (g.count > 1 || (!head.is_directory() && head.size > 0))) {
      decoders.push_back(std::make_unique<DecodeJob>(archive_.archive_name(), archive_length, head, total,
                                                     g.count > 1, coding_, pipelines_));
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
    process_entry(head, [&](EntryOutput& out) {
      if (head.size == 0 || head.is_directory()) return;
      if (group.job == nullptr) {
        copy_stored(head, out);
        return;
      }
      Piece piece;
      while (runner_->take(job_index, piece)) {
        out.take(piece.bytes.data(), piece.bytes.size());
        out.damaged = out.damaged || piece.damaged;
        events_.entry_progress(piece.done);
      }
    });
    return;
  }
  GroupData data;
  if (group.job != nullptr) {
    Piece piece;
    if (runner_->take(job_index, piece)) {
      data.bytes = std::move(piece.bytes);
      data.damaged = piece.damaged;
    }
  } else {
    data = read_stored_group(head);
  }
  for (const FileEntry* e : group.entries) {
    if (!wildcards_.entry_selected(e->name)) continue;
    process_entry(*e, [&](EntryOutput& out) {
      // write_member: the member's bytes at its position in the group.
      const uint64_t position = (e->flags & FLAG_SOLID_CONTINUATION) != 0 ? e->offset : 0;
      const uint64_t available = data.bytes.size();
      const uint64_t start = position < available ? position : available;
      const uint64_t end = position + e->size <= available ? position + e->size : available;
      out.take(data.bytes.data() + start, static_cast<size_t>(end - start));
      out.damaged = data.damaged || position + e->size > available;
    });
  }
}

template <typename Feed>
void Extractor::process_entry(const FileEntry& entry, Feed feed) {
  ++result_.processed;
  events_.entry_started(entry, entry.is_directory() ? 0 : entry.size);
  if (entry.is_directory()) {
    if (options_.write_files && options_.keep_paths) make_directory(entry);
  } else {
    EntryOutput out;
    open_output(entry, out);
    out.crc.begin();
    feed(out);
    finish_output(entry, out);
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
  std::string path = output_path(entry);
  if (path.empty()) return;
  path += '\\';
  tree_.check_no_escaping_link(path);
  tree_.make_directories(path);
  platform::restore_directory_mode(platform::native_path(path), entry.attributes);
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

void Extractor::finish_output(const FileEntry& entry, EntryOutput& out) {
  if (out.damaged || out.crc.value() != entry.crc) {
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

GroupData Extractor::read_stored_group(const FileEntry& head) {
  // Checked against the file before the buffer is allocated.
  const uint64_t length = archive_.length();
  if (head.offset > length || head.packed_size > length - head.offset)
    raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": stored data past the end of the file");
  GroupData data;
  data.bytes.resize(head.packed_size);
  platform::File& file = archive_.file();
  if (!file.seek(head.offset) || !file.read_exact(data.bytes.data(), data.bytes.size()))
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
