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

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "archive/format.h"
#include "stream/file_input.h"
#include "stream/pack_jobs.h"
#include "common/byte_order.h"
#include "common/error.h"
#include "files/sorts.h"
#include "parallel/ordered_streams.h"
#include "pipeline/filters.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {

// The bytes of an entry being packed: what the caller opens, or the file
// of its name.
std::unique_ptr<SequentialInput> open_entry(const FileEntry& entry, const CreateOptions& options) {
  if (options.open_input) return options.open_input(entry);
  return std::make_unique<FileMemberInput>(platform::native_path(entry.name), COPY_PIECE);
}

class Creator {
 public:
  Creator(ArchiveOutput& archive, const CreateOptions& options, DriverEvents& events)
      : archive_(archive), options_(options), events_(events) {}

  CreateResult run(FileList& list, PivotGenerator& random);

 private:
  std::vector<FileEntry*> order_entries(FileList& list, PivotGenerator& random, size_t& candidate_count);
  void write_data_area(const std::vector<FileEntry*>& order, size_t candidate_count);
  void write_group(const std::vector<FileEntry*>& entries, size_t index, OrderedStreams& runner);
  void write_file(FileEntry& entry, size_t index, OrderedStreams& runner);
  void unpacked_entry(FileEntry& entry);
  bool store_file(const FileEntry& entry, SequentialInput& input, Crc32& crc);
  void write_table_and_header(const std::vector<FileEntry*>& order, uint64_t total);
  void copy_kept_group(KeptGroup& group);

  void write_or_fail(const void* data, size_t count) {
    if (!archive_.write(data, count)) archive_failed();
  }
  void seek_or_fail(uint64_t position) {
    if (!archive_.seek(position)) archive_failed();
  }
  [[noreturn]] void archive_failed() { raise_error(ErrorCode::IO_ERROR, options_.archive_name + ": " + archive_.error()); }

  ArchiveOutput& archive_;
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
      const uint32_t n = e->size < ANALYSIS_SAMPLE ? e->size : ANALYSIS_SAMPLE;
      open_entry(*e, options_)->read_exact(sample.data(), n);
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
  struct Step {
    size_t first = 0;  // in `order`
    size_t count = 1;
    bool group = false;
    bool job = false;
  };
  std::vector<Step> steps;
  std::vector<size_t> job_steps;
  for (const EntryGroup& g : split_into_groups(candidate_count, [&](size_t i) { return order[i]->flags; })) {
    job_steps.push_back(steps.size());
    steps.push_back({g.first, g.count, true, true});
  }
  for (size_t i = candidate_count; i < order.size(); ++i) {
    const FileEntry* e = order[i];
    const bool packed = options_.coding.method != METHOD_STORE && !e->is_directory() && e->size > 0;
    if (packed) job_steps.push_back(steps.size());
    steps.push_back({i, 1, false, packed});
  }
  // Jobs are made as the workers start them, so only those in flight exist.
  auto make_job = [&](size_t job) -> std::unique_ptr<StreamJob> {
    const Step& step = steps[job_steps[job]];
    FileEntry* const* members = order.data() + step.first;
    OpenMember open = [this, members](size_t k) { return open_entry(*members[k], options_); };
    if (!step.group) return std::make_unique<PackFileJob>(members[0]->size, std::move(open), options_.coding, pipelines_);
    std::vector<uint32_t> sizes;
    for (size_t k = 0; k < step.count; ++k) sizes.push_back(members[k]->size);
    return std::make_unique<PackGroupJob>(std::move(sizes), std::move(open), STORE_MARGIN, options_.coding, pipelines_);
  };

  // Pieces that run ahead of the archive wait in spill files beside it.
  const std::string spill_directory = options_.archive_name.substr(0, options_.archive_name.find_last_of("/\\") + 1);
  OrderedStreams runner(options_.workers, job_steps.size(), make_job, options_.spill ? &spill_directory : nullptr);
  size_t next_job = 0;
  for (const Step& step : steps) {
    if (!step.job) {
      unpacked_entry(*order[step.first]);
      continue;
    }
    if (step.group) {
      write_group(std::vector<FileEntry*>(order.begin() + step.first, order.begin() + step.first + step.count),
                  next_job, runner);
    } else {
      write_file(*order[step.first], next_job, runner);
    }
    runner.release(next_job++);
  }
}

// The progress lines of the group's entries (for a failed group, up to the
// entry that failed), then its piece at the current archive position.
void Creator::write_group(const std::vector<FileEntry*>& entries, size_t index, OrderedStreams& runner) {
  Piece piece;
  try {
    runner.take(index, piece);
  } catch (...) {
    const auto& job = static_cast<PackGroupJob&>(runner.job(index));
    for (size_t k = 0; k <= job.reached(); ++k) {
      events_.entry_started(*entries[k], 0);
      events_.entry_finished();
    }
    throw;
  }
  const auto& job = static_cast<PackGroupJob&>(runner.job(index));
  for (size_t k = 0; k < entries.size(); ++k) {
    events_.entry_started(*entries[k], 0);
    events_.entry_finished();
    if (job.grew(k)) events_.file_grew(*entries[k]);
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
void Creator::write_file(FileEntry& entry, size_t index, OrderedStreams& runner) {
  events_.entry_started(entry, entry.size);
  entry.offset = static_cast<uint32_t>(archive_.tell());
  Piece piece;
  const std::function<void()> tick = [&] { events_.entry_progress(runner.progress(index)); };
  while (runner.take(index, piece, tick)) {
    write_or_fail(piece.bytes.data(), piece.bytes.size());
    events_.entry_progress(piece.done);
  }
  const uint64_t produced = archive_.tell() - entry.offset;
  bool grew = false;
  if (produced + STORE_MARGIN > entry.size) {
    seek_or_fail(entry.offset);
    Crc32 crc;
    grew = store_file(entry, *open_entry(entry, options_), crc);
    entry.crc = crc.value();
    entry.packed_size = entry.size;
    entry.flags |= FLAG_STORED;
  } else {
    const auto& job = static_cast<PackFileJob&>(runner.job(index));
    entry.crc = job.crc();
    entry.packed_size = static_cast<uint32_t>(produced);
    grew = job.grew();
  }
  events_.entry_finished();
  if (grew) events_.file_grew(entry);
}

// Copies the entry's bytes raw; whether the input held more.
bool Creator::store_file(const FileEntry& entry, SequentialInput& input, Crc32& crc) {
  crc.begin();
  std::vector<uint8_t> buffer(entry.size < COPY_PIECE ? entry.size : COPY_PIECE);
  uint32_t remaining = entry.size;
  while (remaining > 0) {
    const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
    input.read_exact(buffer.data(), piece);
    crc.update(buffer.data(), piece);
    write_or_fail(buffer.data(), piece);
    remaining -= piece;
    events_.entry_progress(entry.size - remaining);
  }
  return input.holds_more();
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
  const std::unique_ptr<SequentialInput> input = open_entry(entry, options_);
  entry.offset = static_cast<uint32_t>(archive_.tell());
  Crc32 crc;
  const bool grew = store_file(entry, *input, crc);
  entry.packed_size = entry.size;
  entry.flags |= FLAG_STORED;
  entry.crc = crc.value();
  events_.entry_finished();
  if (grew) events_.file_grew(entry);
}

// A group of an earlier archive: its piece copied byte for byte, its head
// given the piece's new offset (the members' offsets are positions in the
// group's bytes and stay).
void Creator::copy_kept_group(KeptGroup& group) {
  FileEntry& head = group.entries.front();
  for (const FileEntry& e : group.entries) {
    events_.entry_started(e, 0);
    events_.entry_finished();
  }
  if (head.is_directory() && group.entries.size() == 1) return;
  const RandomAccessInput& source = *group.source;
  if (head.offset > source.length() || head.packed_size > source.length() - head.offset)
    raise_error(ErrorCode::IO_ERROR, source.name() + ": a piece runs past the end of the archive");
  const uint64_t from = head.offset;
  head.offset = static_cast<uint32_t>(archive_.tell());
  std::vector<uint8_t> buffer(head.packed_size < COPY_PIECE ? head.packed_size : COPY_PIECE);
  for (uint64_t done = 0; done < head.packed_size;) {
    const size_t piece = head.packed_size - done < COPY_PIECE ? static_cast<size_t>(head.packed_size - done) : COPY_PIECE;
    if (source.read_at(from + done, buffer.data(), piece) != piece)
      raise_error(ErrorCode::IO_ERROR, source.name() + ": a piece runs past the end of the archive");
    write_or_fail(buffer.data(), piece);
    done += piece;
  }
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
  std::vector<KeptGroup> no_groups;
  std::vector<KeptGroup>& kept = options_.kept != nullptr ? *options_.kept : no_groups;
  if (list.empty() && kept.empty()) raise_error(ErrorCode::NOTHING_TO_DO);
  if (options_.self_extracting) append_sfx_stub(archive_, options_.sfx_stub);

  size_t candidate_count = 0;
  const std::vector<FileEntry*> order = order_entries(list, random, candidate_count);
  // The table: the groups kept from an earlier archive, then the new entries.
  std::vector<FileEntry*> table;
  for (KeptGroup& group : kept)
    for (FileEntry& e : group.entries) table.push_back(&e);
  table.insert(table.end(), order.begin(), order.end());

  uint64_t total = 0;
  for (const FileEntry* e : table) {
    total += e->size;
    if (total > TOTAL_SIZE_LIMIT)
      raise_error(ErrorCode::ARCHIVE_TOO_BIG, platform::native_path(e->name) + ": with it the files total " +
                                                  std::to_string(total) + " bytes, more than the " +
                                                  std::to_string(TOTAL_SIZE_LIMIT) + " an archive holds");
  }
  events_.packing_started(options_.coding.method == METHOD_STORE, table.size(), total);

  header_position_ = archive_.tell();
  const uint8_t header_room[HEADER_SIZE] = {};
  write_or_fail(header_room, HEADER_SIZE);

  for (KeptGroup& group : kept) copy_kept_group(group);
  write_data_area(order, candidate_count);

  events_.writing_header();
  write_table_and_header(table, total);

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

void append_sfx_stub(ArchiveOutput& archive, const std::string& path) {
  platform::File stub;
  if (!stub.open_read(path, 64 * 1024)) raise_error(ErrorCode::SFX_APPEND, path + ": " + stub.error());
  const uint64_t length = stub.length();
  if (length > SFX_STUB_LIMIT) raise_error(ErrorCode::SFX_TOO_BIG);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!stub.read_exact(bytes.data(), bytes.size())) raise_error(ErrorCode::SFX_APPEND);
  // A reader takes the first magic it meets: one inside the stub would hide
  // the archive behind it from every reader, the stub's own included.
  const auto magic = archive_magic();
  const auto found = std::search(bytes.begin(), bytes.end(), magic.begin(), magic.end());
  if (found != bytes.end())
    raise_error(ErrorCode::SFX_APPEND, path + ": holds the four bytes an archive starts with (at byte " +
                                           std::to_string(found - bytes.begin()) +
                                           "), so no archive behind it could be found");
  if (!archive.write(bytes.data(), bytes.size())) raise_error(ErrorCode::IO_ERROR, archive.error());
}

uint32_t analysis_value(const uint8_t* sample, uint32_t n) {
  const double cost = context_sorted_cost(sample, n, mtf_cost16);
  return static_cast<uint32_t>(cost * 1000000.0);
}

CreateResult create_archive(ArchiveOutput& archive, FileList& list, const CreateOptions& options,
                            PivotGenerator& random, DriverEvents& events) {
  Creator creator(archive, options, events);
  return creator.run(list, random);
}

}  // namespace tarn
