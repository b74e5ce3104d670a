// The creation driver (see create.h), step by step as the format orders it.
//
// Files and groups are packed on worker threads (see ordered_jobs.h) and
// their pieces written here in table order, so the archive is the same for
// any number of workers. A piece is complete before it is written, so the
// store fallback is decided first and the raw bytes written at the piece's
// offset: the same bytes as packing, seeking back and copying raw (the
// abandoned packed bytes would have been overwritten or cut off by the
// final truncation). The archive is written strictly forward except for the
// two back-patches at the end (table CRC, header). The progress lines come
// in table order, as each piece is written.
#include "archive/create.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/ordered_jobs.h"
#include "archive/piece_buffer.h"
#include "archive/progress.h"
#include "archive/display_name.h"
#include "common/byte_order.h"
#include "common/error.h"
#include "files/sorts.h"
#include "pipeline/block_types.h"
#include "pipeline/filters.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {

void write_or_fail(platform::File& archive, const void* data, size_t count) {
  if (!archive.write(data, count)) raise_error(ErrorCode::IO_ERROR);
}

void seek_or_fail(platform::File& file, uint64_t position) {
  if (!file.seek(position)) raise_error(ErrorCode::IO_ERROR);
}

platform::File open_input(const FileEntry& entry) {
  platform::File input;
  if (!input.open_read(platform::native_path(entry.name), COPY_PIECE)) raise_error(ErrorCode::IO_ERROR);
  return input;
}

void print_progress(const FileEntry& entry) {
  std::printf("\r -> %s ", format_display_name(entry.name, 50).c_str());
  std::fflush(stdout);
}

// One stream to pack on a worker: a solid group (head and members, in
// table order) or a single file. The worker fills in the results; the main
// thread applies them to the entries when it writes the piece.
struct PackJob {
  std::vector<FileEntry*> entries;
  bool group = false;

  PieceBuffer piece;              // the bytes to write at the entry's offset
  bool stored = false;            // the piece is the raw data
  std::vector<uint32_t> crcs;     // per entry
  std::vector<uint32_t> positions;  // per entry: position inside the group
  size_t reached = 0;             // the entry being read when an error came
  std::exception_ptr error;
  std::atomic<uint64_t> progress{0};  // bytes of a single file packed so far
};

class Creator {
 public:
  Creator(platform::File& archive, const CreateOptions& options) : archive_(archive), options_(options) {
    setup_.method = options.method;
    setup_.text = options.text;
    setup_.exe = options.exe;
    setup_.mm = options.mm;
    setup_.lowred = options.lowred;
    setup_.swap = options.swap;
  }

  CreateResult run(FileList& list, PivotGenerator& random);

 private:
  std::vector<FileEntry*> order_entries(FileList& list, PivotGenerator& random, size_t& candidate_count);
  void write_data_area(const std::vector<FileEntry*>& order, size_t candidate_count);
  // Worker side.
  void run_job(PackJob& job, const OrderedJobs& runner) const;
  void pack_group(PackJob& job, const OrderedJobs& runner) const;
  void pack_file(PackJob& job, const OrderedJobs& runner) const;
  // Main-thread side.
  void write_job(PackJob& job, size_t index, OrderedJobs& runner);
  void unpacked_entry(FileEntry& entry);
  void store_file(platform::File& input, uint32_t size, Crc32& crc);
  void write_table_and_header(const std::vector<FileEntry*>& order, uint64_t total);

  platform::File& archive_;
  const CreateOptions& options_;
  CodingSetup setup_;
  mutable PipelinePool pipelines_;  // shared by the workers
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
  if (remove_duplicate_entries(v)) std::printf("\nWARNING: scopes of different wildcards intersect!");

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
    std::printf("\nAnalysis...");
    std::fflush(stdout);
    std::vector<uint8_t> sample(ANALYSIS_SAMPLE);
    for (FileEntry* e : candidates) {
      platform::File input = open_input(*e);
      const uint32_t n = e->size < ANALYSIS_SAMPLE ? e->size : ANALYSIS_SAMPLE;
      if (!input.read_exact(sample.data(), n)) raise_error(ErrorCode::IO_ERROR);
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
// Every group and every file that is packed is a job for the workers; the
// pieces are written here, in order, each at the archive position reached
// so far. Directories, empty files and -m0 need no codec and are handled
// here when their turn comes.
void Creator::write_data_area(const std::vector<FileEntry*>& order, size_t candidate_count) {
  std::vector<std::unique_ptr<PackJob>> jobs;
  std::vector<FileEntry*> unpacked;  // per step: the entry, or null for the next job
  for (size_t i = 0; i < order.size(); ++i) {
    FileEntry* e = order[i];
    if (i < candidate_count) {
      if ((e->flags & FLAG_SOLID_CONTINUATION) == 0 || jobs.empty()) {
        jobs.push_back(std::make_unique<PackJob>());
        jobs.back()->group = true;
        unpacked.push_back(nullptr);
      }
      jobs.back()->entries.push_back(e);
    } else if (options_.method == METHOD_STORE || e->is_directory() || e->size == 0) {
      unpacked.push_back(e);
    } else {
      jobs.push_back(std::make_unique<PackJob>());
      jobs.back()->entries.push_back(e);
      unpacked.push_back(nullptr);
    }
  }
  for (auto& job : jobs) {
    job->crcs.assign(job->entries.size(), 0);
    job->positions.assign(job->entries.size(), 0);
  }

  OrderedJobs runner(options_.workers, jobs.size(),
                     [this, &jobs](size_t i, const OrderedJobs& r) { run_job(*jobs[i], r); });
  size_t next_job = 0;
  for (FileEntry* e : unpacked) {
    if (e != nullptr) {
      unpacked_entry(*e);
      continue;
    }
    write_job(*jobs[next_job], next_job, runner);
    jobs[next_job].reset();  // its piece is written: free it now
    runner.release(next_job);
    ++next_job;
  }
}

void Creator::run_job(PackJob& job, const OrderedJobs& runner) const {
  try {
    if (job.group) {
      pack_group(job, runner);
    } else {
      pack_file(job, runner);
    }
  } catch (...) {
    job.error = std::current_exception();
    job.piece.clear();
  }
}

// read_into_group for every member, then the group's stream. A group whose
// piece does not pay is kept raw; both forms are in memory, so the choice
// is made before anything is written, with the same result.
void Creator::pack_group(PackJob& job, const OrderedJobs& runner) const {
  uint64_t total = 0;
  for (const FileEntry* e : job.entries) total += e->size;
  std::vector<uint8_t> group;
  group.reserve(static_cast<size_t>(total));
  for (size_t k = 0; k < job.entries.size(); ++k) {
    if (runner.cancelled()) return;
    job.reached = k;
    const FileEntry& e = *job.entries[k];
    platform::File input = open_input(e);
    job.positions[k] = static_cast<uint32_t>(group.size());
    Crc32 crc;
    crc.begin();
    uint32_t remaining = e.size;
    while (remaining > 0) {
      const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
      const size_t at = group.size();
      group.resize(at + piece);
      if (!input.read_exact(group.data() + at, piece)) raise_error(ErrorCode::IO_ERROR);
      crc.update(group.data() + at, piece);
      remaining -= piece;
    }
    job.crcs[k] = crc.value();
  }
  std::vector<uint8_t> packed = pack_group_stream(setup_, group, &pipelines_);  // a copy: the raw group is kept
  if (packed.size() + STORE_MARGIN > group.size()) {
    packed = std::vector<uint8_t>();
    job.piece.append(std::move(group));
    job.stored = true;
  } else {
    job.piece.append(std::move(packed));
  }
}

// compress_file: chunks of CHUNK_SIZE bytes through one codec. When the
// packed piece does not pay, the file is read again and kept raw, which is
// what the store fallback writes at the same offset.
void Creator::pack_file(PackJob& job, const OrderedJobs& runner) const {
  const FileEntry& e = *job.entries[0];
  platform::File input = open_input(e);
  Crc32 crc;
  crc.begin();
  {
    StreamCodec codec(setup_, &pipelines_);
    ByteSink sink;
    uint32_t remaining = e.size;
    while (remaining > 0) {
      if (runner.cancelled()) return;
      const uint32_t length = remaining < CHUNK_SIZE ? remaining : CHUNK_SIZE;
      std::vector<uint8_t> chunk(length);
      if (!input.read_exact(chunk.data(), length)) raise_error(ErrorCode::IO_ERROR);
      crc.update(chunk.data(), length);
      sink.clear();
      codec.compress_chunk(std::move(chunk), sink);
      job.piece.append(sink.bytes().data(), sink.size());
      remaining -= length;
      job.progress.store(e.size - remaining, std::memory_order_relaxed);
    }
  }
  if (job.piece.size() + STORE_MARGIN > e.size) {
    job.piece.clear();
    job.stored = true;
    seek_or_fail(input, 0);
    crc.begin();
    std::vector<uint8_t> buffer(e.size < COPY_PIECE ? e.size : COPY_PIECE);
    for (uint32_t remaining = e.size; remaining > 0;) {
      if (runner.cancelled()) return;
      const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
      if (!input.read_exact(buffer.data(), piece)) raise_error(ErrorCode::IO_ERROR);
      crc.update(buffer.data(), piece);
      job.piece.append(buffer.data(), piece);
      remaining -= piece;
    }
  }
  job.crcs[0] = crc.value();
}

// The progress lines of the job's entries (for a failed job, up to the
// entry that failed), then its piece at the current archive position.
void Creator::write_job(PackJob& job, size_t index, OrderedJobs& runner) {
  if (job.group) {
    runner.wait(index);
    const size_t shown = job.error ? job.reached + 1 : job.entries.size();
    for (size_t k = 0; k < shown; ++k) print_progress(*job.entries[k]);
    if (job.error) std::rethrow_exception(job.error);
  } else {
    print_progress(*job.entries[0]);
    ProgressMeter meter(job.entries[0]->size);
    runner.wait(index, [&] { meter.advance(job.progress.load(std::memory_order_relaxed)); });
    if (job.error) std::rethrow_exception(job.error);
  }
  FileEntry& head = *job.entries[0];
  head.offset = static_cast<uint32_t>(archive_.tell());
  job.piece.read_back([this](const uint8_t* data, size_t count) { write_or_fail(archive_, data, count); });
  head.packed_size = static_cast<uint32_t>(job.piece.size());
  if (job.stored) head.flags |= FLAG_STORED;
  for (size_t k = 0; k < job.entries.size(); ++k) {
    FileEntry& e = *job.entries[k];
    e.crc = job.crcs[k];
    if (k > 0) {
      e.offset = job.positions[k];
      e.packed_size = 0;
    }
  }
}

void Creator::store_file(platform::File& input, uint32_t size, Crc32& crc) {
  crc.begin();
  ProgressMeter progress(size);
  std::vector<uint8_t> buffer(size < COPY_PIECE ? size : COPY_PIECE);
  uint32_t remaining = size;
  while (remaining > 0) {
    const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
    if (!input.read_exact(buffer.data(), piece)) raise_error(ErrorCode::IO_ERROR);
    crc.update(buffer.data(), piece);
    write_or_fail(archive_, buffer.data(), piece);
    remaining -= piece;
    progress.advance(size - remaining);
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
  print_progress(entry);
  platform::File input = open_input(entry);
  entry.offset = static_cast<uint32_t>(archive_.tell());
  Crc32 crc;
  store_file(input, entry.size, crc);
  entry.packed_size = entry.size;
  entry.flags |= FLAG_STORED;
  entry.crc = crc.value();
}

void Creator::write_table_and_header(const std::vector<FileEntry*>& order, uint64_t total) {
  const uint64_t data_end = archive_.tell();
  const uint8_t zero[4] = {0, 0, 0, 0};
  write_or_fail(archive_, zero, 4);
  Crc32 crc;
  crc.begin();
  for (const FileEntry* e : order) {
    const std::string record = encode_record(*e);
    crc.update(reinterpret_cast<const uint8_t*>(record.data()), record.size());
    write_or_fail(archive_, record.data(), record.size());
  }
  archive_length_ = archive_.tell();
  if (!archive_.truncate(archive_length_)) raise_error(ErrorCode::IO_ERROR);
  uint8_t crc_bytes[4];
  store_le32(crc_bytes, crc.value());
  seek_or_fail(archive_, data_end);
  write_or_fail(archive_, crc_bytes, 4);
  ArchiveHeader header;
  header.total_size = static_cast<uint32_t>(total);
  header.entry_count = static_cast<uint32_t>(order.size());
  header.data_length = static_cast<uint32_t>(data_end - header_position_ - HEADER_SIZE);
  header.method = options_.method;
  const auto bytes = encode_header(header);
  seek_or_fail(archive_, header_position_);
  write_or_fail(archive_, bytes.data(), bytes.size());
  if (!archive_.close()) raise_error(ErrorCode::IO_ERROR);
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
  std::printf("\n%s %ld file(s) totaling %ld bytes...\n",
              options_.method == METHOD_STORE ? "Storing" : "Compressing", static_cast<long>(order.size()),
              static_cast<long>(total));

  header_position_ = archive_.tell();
  const uint8_t header_room[HEADER_SIZE] = {};
  write_or_fail(archive_, header_room, HEADER_SIZE);

  write_data_area(order, candidate_count);

  std::printf("\rWriting header...%58s", "");
  std::fflush(stdout);
  write_table_and_header(order, total);

  std::printf("\nFreeing memory...");
  list.clear();
  const double bpb = static_cast<double>(archive_length_) * 8.0 / static_cast<double>(total);
  std::printf("\nCompressed %ld -> %ld (%.7f bpb) in ", static_cast<long>(total),
              static_cast<long>(archive_length_), bpb);
  return CreateResult{total, archive_length_};
}

}  // namespace

bool is_solid_candidate(const FileEntry& entry, const CreateOptions& options) {
  return options.solid_blocks && options.method != METHOD_STORE && !entry.is_directory() && entry.size >= 1 &&
         entry.size <= SOLID_FILE_LIMIT;
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
  if (!stub.open_read(SFX_STUB_NAME, 64 * 1024)) raise_error(ErrorCode::SFX_APPEND);
  const uint64_t length = stub.length();
  if (length > SFX_STUB_LIMIT) raise_error(ErrorCode::SFX_TOO_BIG);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!stub.read_exact(bytes.data(), bytes.size())) raise_error(ErrorCode::SFX_APPEND);
  write_or_fail(archive, bytes.data(), bytes.size());
}

uint32_t analysis_value(const uint8_t* sample, uint32_t n) {
  const double cost = context_sorted_cost(sample, n, mtf_cost16);
  return static_cast<uint32_t>(cost * 1000000.0);
}

CreateResult create_archive(platform::File& archive, FileList& list, const CreateOptions& options,
                            PivotGenerator& random) {
  Creator creator(archive, options);
  return creator.run(list, random);
}

}  // namespace tarn
