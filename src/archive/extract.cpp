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
// failure or a signal leaves the files that were there as they were. The
// files are made through directory handles (files/output_tree.h) and get
// their times and modes on their open descriptors before they are put in
// place. An entry whose output path is the archive being read, has a link
// on it, or is longer than the system takes (counting the temporary beside
// it), is left out with a note; it is still tested.
#include "archive/extract.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/crc32.h"
#include "archive/format.h"
#include "stream/decode_job.h"
#include "common/error.h"
#include "files/output_tree.h"
#include "files/pending_file.h"
#include "parallel/ordered_streams.h"
#include "platform/directory.h"
#include "platform/dos_time.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {


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
  Extractor(ArchiveReader& archive, const ExtractOptions& options, DriverEvents& events)
      : archive_(archive), options_(options), events_(events), tree_(options.output_dir) {
    coding_.method = archive.header().method;  // every filter allowed
    has_archive_id_ = archive.identity(archive_id_);
  }

  ExtractResult run(const FileList& entries, std::vector<bool> selected);

 private:
  static constexpr size_t NONE = static_cast<size_t>(-1);
  // The decoded bytes of a piece that later records share are kept for them
  // up to this size; a larger one is decoded again for each.
  static constexpr uint64_t SHARED_BYTES_LIMIT = CHUNK_SIZE;

  // A group of the table that holds a selected entry, and where its bytes
  // come from: a decode job, the bytes of an earlier group with the very
  // same piece (a record may point anywhere, so many records can share one
  // piece: it is decoded once), or the archive as they are (stored).
  struct Group {
    size_t first = 0;  // in the table
    size_t count = 0;
    size_t job = NONE;
    size_t same_as = NONE;  // the group whose decoded piece this one shares
    bool shared = false;    // later groups share this one's piece
  };
  using Results = std::vector<PieceDecodeJob::Result>;

  std::vector<Group> plan_groups(uint64_t& selected, uint64_t& selected_bytes);
  bool same_piece(const Group& a, const Group& b) const;
  PieceLayout layout_of(const Group& group) const;
  void process_group(size_t index);
  void process_members(const Group& group, const std::vector<uint8_t>& data, const Results* results);
  // Counts and shows the entry, then produces its bytes with `feed` into
  // its output and checks them against the CRC: `feed` returns the CRC the
  // decoder found, or nothing when the output computed it.
  void process_entry(const FileEntry& entry, const std::function<std::optional<uint32_t>(EntryOutput&)>& feed);
  void open_output(const FileEntry& entry, EntryOutput& out);
  void make_directory(const FileEntry& entry);
  void finish_output(const FileEntry& entry, EntryOutput& out, uint32_t crc);
  void copy_stored(const FileEntry& entry, EntryOutput& out);
  // A member of a stored group, read from the archive where the group's
  // bytes put it; false when the group's piece ends before the member does.
  bool copy_stored_member(const FileEntry& head, uint64_t position, uint32_t size, EntryOutput& out);
  void check_stored_piece(const FileEntry& head) const;
  // Where an entry goes, after the unsafe-path warning; false when it
  // writes nothing (the output directory itself, a name too long).
  bool output_target(const FileEntry& entry, OutputTarget& target);
  bool selected(size_t i) const { return selected_[i]; }

  ArchiveReader& archive_;
  const ExtractOptions& options_;
  DriverEvents& events_;
  OutputTree tree_;
  CodingOptions coding_;
  platform::FileId archive_id_;
  bool has_archive_id_ = false;
  PipelinePool pipelines_;  // shared by the workers
  ExtractResult result_;
  const std::deque<FileEntry>* all_ = nullptr;
  std::vector<bool> selected_;
  std::vector<Group> groups_;
  OrderedStreams* runner_ = nullptr;
  // What groups that share a piece take from its first group.
  std::map<size_t, Results> shared_results_;
  std::vector<uint8_t> shared_bytes_;
};

// The groups holding a selected entry are found first; the packed ones are
// decoded on the workers while the groups are processed here in table
// order, so the files, messages and order are those of a single thread.
// Only the jobs in flight exist at any time: whatever the number of
// entries, memory grows by a few dozen bytes per entry.
ExtractResult Extractor::run(const FileList& entries, std::vector<bool> selected) {
  events_.decompressing();
  all_ = &entries.entries();
  selected_ = std::move(selected);
  selected_.resize(all_->size());
  uint64_t selected_count = 0;
  uint64_t selected_bytes = 0;
  groups_ = plan_groups(selected_count, selected_bytes);
  events_.extraction_started(selected_count, selected_bytes);

  std::vector<size_t> job_groups;
  for (size_t g = 0; g < groups_.size(); ++g)
    if (groups_[g].job != NONE) job_groups.push_back(g);
  const bool keep_bytes = options_.write_files;
  OrderedStreams runner(options_.workers, job_groups.size(), [&](size_t job) -> std::unique_ptr<StreamJob> {
    return std::make_unique<PieceDecodeJob>(archive_.input(), layout_of(groups_[job_groups[job]]), keep_bytes,
                                            coding_, pipelines_);
  });
  runner_ = &runner;
  for (size_t g = 0; g < groups_.size(); ++g) {
    process_group(g);
    if (groups_[g].job != NONE) runner.release(groups_[g].job);
  }
  runner_ = nullptr;

  if (result_.processed == 0) raise_error(ErrorCode::NOTHING_TO_DO);
  events_.extraction_finished(options_.write_files, result_.processed, result_.crc_failed);
  return result_;
}

std::vector<Extractor::Group> Extractor::plan_groups(uint64_t& selected_count, uint64_t& selected_bytes) {
  const auto& all = *all_;
  std::vector<Group> groups;
  // Pieces already decoded by a job, by a hash of their layout. Testing
  // keeps every piece's results; extracting keeps the bytes of the last
  // small one only, so a group shares only that one.
  std::unordered_map<uint64_t, size_t> decoded;
  size_t last_small = NONE;
  size_t jobs = 0;
  for (const EntryGroup& g : split_into_groups(all.size(), [&](size_t i) { return all[i].flags; })) {
    bool any = false;
    uint64_t total = 0;
    for (size_t k = 0; k < g.count; ++k) {
      const FileEntry& e = all[g.first + k];
      total += e.size;
      if (!selected(g.first + k)) continue;
      any = true;
      ++selected_count;
      if (!e.is_directory()) selected_bytes += e.size;
    }
    if (!any) continue;
    Group group;
    group.first = g.first;
    group.count = g.count;
    const FileEntry& head = all[g.first];
    const bool packed = (head.flags & FLAG_STORED) == 0;
    if (packed && (g.count > 1 || (!head.is_directory() && head.size > 0))) {
      uint64_t key = head.offset * 0x9E3779B97F4A7C15ull ^ head.packed_size ^ (uint64_t{g.count} << 40);
      for (size_t k = 0; k < g.count; ++k) key = key * 1099511628211ull ^ all[g.first + k].size ^ (uint64_t{all[g.first + k].offset} << 32);
      const auto found = decoded.find(key);
      if (found != decoded.end() && same_piece(groups[found->second], group) &&
          (!options_.write_files || found->second == last_small)) {
        group.same_as = found->second;
        groups[found->second].shared = true;
      } else {
        group.job = jobs++;
        const size_t index = groups.size();
        if (!options_.write_files) decoded[key] = index;
        else if (total <= SHARED_BYTES_LIMIT) {
          decoded.clear();
          decoded[key] = index;
          last_small = index;
        }
      }
    }
    groups.push_back(group);
  }
  return groups;
}

bool Extractor::same_piece(const Group& a, const Group& b) const {
  if (a.count != b.count) return false;
  const auto& all = *all_;
  const FileEntry& ha = all[a.first];
  const FileEntry& hb = all[b.first];
  if (ha.offset != hb.offset || ha.packed_size != hb.packed_size) return false;
  for (size_t k = 0; k < a.count; ++k) {
    const FileEntry& ea = all[a.first + k];
    const FileEntry& eb = all[b.first + k];
    if (ea.size != eb.size || (k > 0 && ea.offset != eb.offset)) return false;
  }
  return true;
}

PieceLayout Extractor::layout_of(const Group& group) const {
  const auto& all = *all_;
  const FileEntry& head = all[group.first];
  PieceLayout layout;
  layout.offset = head.offset;
  layout.packed_size = head.packed_size;
  layout.members.reserve(group.count);
  // A member's offset is its position in the group's bytes; the head's is
  // the piece's own.
  for (size_t k = 0; k < group.count; ++k) {
    const FileEntry& e = all[group.first + k];
    layout.members.push_back({k == 0 ? 0 : uint64_t{e.offset}, e.size});
  }
  return layout;
}

void Extractor::process_group(size_t index) {
  const Group& group = groups_[index];
  const auto& all = *all_;
  const FileEntry& head = all[group.first];
  const bool keep = group.shared && options_.write_files;
  if (group.same_as != NONE) {
    // The piece of an earlier group: its results, and its bytes when they
    // are written.
    process_members(group, shared_bytes_, &shared_results_.at(group.same_as));
    return;
  }
  if (group.job == NONE) {
    // Stored, or nothing to decode. A stored group's piece must lie inside
    // the archive before any of its members is taken.
    if (group.count > 1) check_stored_piece(head);
    process_members(group, {}, nullptr);
    return;
  }
  if (keep) shared_bytes_.clear();
  if (group.count == 1) {
    PieceDecodeJob* job = nullptr;
    process_entry(head, [&](EntryOutput& out) -> std::optional<uint32_t> {
      Piece piece;
      const std::function<void()> tick = [&] { events_.entry_progress(runner_->progress(group.job)); };
      while (runner_->take(group.job, piece, tick)) {
        out.write(piece.bytes.data(), piece.bytes.size());
        if (keep) shared_bytes_.insert(shared_bytes_.end(), piece.bytes.begin(), piece.bytes.end());
        events_.entry_progress(piece.done);
      }
      job = &static_cast<PieceDecodeJob&>(runner_->job(group.job));
      out.damaged = job->result(0).damaged;
      return job->result(0).crc;
    });
    if (group.shared) shared_results_[index] = {static_cast<PieceDecodeJob&>(runner_->job(group.job)).result(0)};
    return;
  }
  std::vector<uint8_t> data;  // the group's bytes, unless only tested
  Piece piece;
  if (runner_->take(group.job, piece)) data = std::move(piece.bytes);
  const auto& job = static_cast<PieceDecodeJob&>(runner_->job(group.job));
  Results results(group.count);
  for (size_t k = 0; k < group.count; ++k) results[k] = job.result(k);
  process_members(group, data, &results);
  if (group.shared) shared_results_[index] = std::move(results);
  if (keep) shared_bytes_ = std::move(data);
}

// The selected members of a group from its decoded bytes and the decoder's
// results, or, without results, as they are in the archive (stored).
void Extractor::process_members(const Group& group, const std::vector<uint8_t>& data, const Results* results) {
  const auto& all = *all_;
  const FileEntry& head = all[group.first];
  for (size_t k = 0; k < group.count; ++k) {
    const FileEntry& e = all[group.first + k];
    if (!selected(group.first + k)) continue;
    process_entry(e, [&](EntryOutput& out) -> std::optional<uint32_t> {
      if (group.count == 1 && (e.size == 0 || e.is_directory())) return std::nullopt;
      // The member's bytes at its position in the group.
      const uint64_t position = k == 0 ? 0 : e.offset;
      if (results == nullptr) {
        if (group.count == 1) copy_stored(e, out);
        else out.damaged = !copy_stored_member(head, position, e.size, out);
        return std::nullopt;
      }
      const uint64_t available = data.size();
      const uint64_t start = position < available ? position : available;
      const uint64_t end = position + e.size <= available ? position + e.size : available;
      out.write(data.data() + start, static_cast<size_t>(end - start));
      events_.entry_progress(e.size);
      out.damaged = (*results)[k].damaged;
      return (*results)[k].crc;
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

bool Extractor::output_target(const FileEntry& entry, OutputTarget& target) {
  target = tree_.target_for(entry.name, options_.keep_paths);
  if (target.relative.empty() && !entry.is_directory()) {
    target.relative.push_back('_');  // empty here
    target.path += '_';
  }
  if (target.changed()) events_.unsafe_path(target.asked, target.relative);
  if (target.relative.empty()) return false;  // the output directory itself: left as it is
  // The temporary beside the file has the longer name: both must fit.
  const std::string native = platform::native_path(target.path);
  if (!platform::path_fits(native) || !platform::path_fits(platform::temporary_name_beside(native))) {
    events_.entry_skipped(entry, SkipReason::NAME_TOO_LONG);
    return false;
  }
  return true;
}

// A directory entry with paths: the directory and its parents, then its
// stored permission bits, set through its handle (its contents came before
// it in the table).
void Extractor::make_directory(const FileEntry& entry) {
  OutputTarget target;
  if (!output_target(entry, target)) return;
  platform::Directory directory;
  std::string link;
  if (!tree_.open_directory(target.relative, directory, link)) {
    events_.entry_skipped(entry, SkipReason::LINK_ON_PATH);
    return;
  }
  directory.restore_mode(entry.attributes);
}

void Extractor::open_output(const FileEntry& entry, EntryOutput& out) {
  if (!options_.write_files) return;
  OutputTarget target;
  if (!output_target(entry, target)) return;
  platform::Directory directory;
  std::string name;
  std::string link;
  if (!tree_.open_parent(target.relative, directory, name, link)) {
    events_.entry_skipped(entry, SkipReason::LINK_ON_PATH);
    return;
  }
  const std::string native = platform::native_path(target.path);
  platform::FileId existing;
  if (directory.identity_of(name, existing)) {
    if (has_archive_id_ && existing == archive_id_) {
      events_.entry_skipped(entry, SkipReason::IS_THE_ARCHIVE);
      return;
    }
    if (directory.kind_of(name) == platform::Directory::Kind::DIRECTORY)
      raise_error(ErrorCode::IO_ERROR, native + ": a directory of that name exists");
  }
  std::string error;
  if (!out.file.create_in(std::move(directory), name, native, COPY_PIECE, false, error))
    raise_error(ErrorCode::IO_ERROR, native + ": " + error);
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
      false, [&](platform::File& file) { platform::restore_file_metadata(file, entry.attributes, mtime); }, error);
  if (!committed) raise_error(ErrorCode::IO_ERROR, out.file.target() + ": " + error);
}

void Extractor::copy_stored(const FileEntry& entry, EntryOutput& out) {
  const RandomAccessInput& input = archive_.input();
  std::vector<uint8_t> buffer(entry.size < COPY_PIECE ? entry.size : COPY_PIECE);
  uint64_t at = entry.offset;
  for (uint32_t remaining = entry.size; remaining > 0;) {
    const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
    if (input.read_at(at, buffer.data(), piece) != piece)
      raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": stored data past the end of the file");
    out.take(buffer.data(), piece);
    at += piece;
    remaining -= piece;
    events_.entry_progress(entry.size - remaining);
  }
}

void Extractor::check_stored_piece(const FileEntry& head) const {
  const uint64_t length = archive_.length();
  if (head.offset > length || head.packed_size > length - head.offset)
    raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": stored data past the end of the file");
}

bool Extractor::copy_stored_member(const FileEntry& head, uint64_t position, uint32_t size, EntryOutput& out) {
  const uint64_t available = head.packed_size;
  const uint64_t start = position < available ? position : available;
  const uint64_t end = position + size <= available ? position + size : available;
  std::vector<uint8_t> buffer(end - start < COPY_PIECE ? static_cast<size_t>(end - start) : COPY_PIECE);
  for (uint64_t at = start; at < end;) {
    const size_t piece = end - at < COPY_PIECE ? static_cast<size_t>(end - at) : COPY_PIECE;
    if (archive_.input().read_at(head.offset + at, buffer.data(), piece) != piece)
      raise_error(ErrorCode::IO_ERROR, archive_.archive_name() + ": stored data past the end of the file");
    out.take(buffer.data(), piece);
    at += piece;
  }
  return position + size <= available;
}

}  // namespace

ExtractResult extract_archive(ArchiveReader& archive, const FileList& entries, const WildcardList& wildcards,
                              const ExtractOptions& options, DriverEvents& events) {
  std::vector<bool> selected(entries.count());
  for (size_t i = 0; i < entries.count(); ++i) selected[i] = wildcards.entry_selected(entries.entries()[i].name);
  return extract_archive(archive, entries, selected, options, events);
}

ExtractResult extract_archive(ArchiveReader& archive, const FileList& entries, const std::vector<bool>& selected,
                              const ExtractOptions& options, DriverEvents& events) {
  Extractor extractor(archive, options, events);
  return extractor.run(entries, selected);
}

}  // namespace tarn
