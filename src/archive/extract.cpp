// The extraction driver (see extract.h).
//
// Packed files and groups are decoded on worker threads (ordered_jobs.h),
// each through its own handle on the archive, while this thread writes the
// files in table order: the files, the messages and their order are the
// same for any number of workers.
//
// Output paths are built in the stored form (output prefix + relative name,
// backslash-separated) and turned into the OS's form only for OS calls.
// Before a file is written, every existing directory component below the
// output prefix is checked: a symbolic link that leads outside the output
// directory stops the run with "I/O error"; a link that is the file itself
// is removed and replaced by the extracted file.
#include "archive/extract.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "archive/archive_source.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/stream_codec.h"
#include "common/error.h"
#include "files/output_tree.h"
#include "parallel/ordered_jobs.h"
#include "parallel/piece_buffer.h"
#include "platform/dos_time.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {

// Where one entry's bytes go: a file being written, or nowhere (test).
struct Output {
  platform::File file;
  Crc32 crc;
  bool write = false;
  bool corrupt = false;  // lengths did not add up

  void take(const uint8_t* data, size_t count) {
    crc.update(data, count);
    if (!write) return;
    for (size_t done = 0; done < count;) {
      const size_t piece = count - done < COPY_PIECE ? count - done : COPY_PIECE;
      if (!file.write(data + done, piece)) raise_error(ErrorCode::IO_ERROR);
      done += piece;
    }
  }
};

// One stream to decode on a worker: a packed solid group (decoded whole)
// or a packed single file (decoded chunk by chunk into a piece that waits
// for its turn). The worker reads the archive through its own handle.
struct DecodeJob {
  const FileEntry* head = nullptr;
  bool group = false;

  std::vector<uint8_t> group_data;
  PieceBuffer piece;     // a single file's bytes, up to where decoding stopped
  bool corrupt = false;  // a single file's chunks did not add up to its size
  std::exception_ptr error;
  std::atomic<uint64_t> progress{0};
};

class Extractor {
 public:
  Extractor(ArchiveReader& archive, const WildcardList& wildcards, const ExtractOptions& options,
            DriverEvents& events)
      : archive_(archive), wildcards_(wildcards), options_(options), events_(events), tree_(options.output_dir) {
    coding_.method = archive.header().method;  // every filter allowed
  }

  ExtractResult run(const FileList& entries);

 private:
  void run_job(DecodeJob& job, const OrderedJobs& runner) const;
  void process_group(const std::vector<const FileEntry*>& group, DecodeJob* job, size_t job_index);
  // `group_data` is the group's bytes when the entry belongs to a solid
  // group; `job` decodes a packed single file.
  void process_entry(const FileEntry& entry, const std::vector<uint8_t>* group_data, DecodeJob* job,
                     size_t job_index);
  void process_entry_data(const FileEntry& entry, const std::vector<uint8_t>* group_data, DecodeJob* job,
                          size_t job_index);
  // The output path, or empty when the entry writes nothing (a directory
  // entry whose name reduces to the output directory itself).
  std::string output_path(const FileEntry& entry);
  void copy_stored(const FileEntry& entry, Output& out);
  void take_decoded_file(const FileEntry& entry, DecodeJob& job, size_t job_index, Output& out);
  std::vector<uint8_t> read_group(const FileEntry& head);

  ArchiveReader& archive_;
  const WildcardList& wildcards_;
  const ExtractOptions& options_;
  DriverEvents& events_;
  OutputTree tree_;
  CodingOptions coding_;
  mutable PipelinePool pipelines_;  // shared by the workers
  ExtractResult result_;
  OrderedJobs* runner_ = nullptr;
};

// The groups holding a selected entry are found first; the packed ones are
// decoded on the workers while the groups are processed here in table
// order, so the files, messages and order are those of a single thread.
ExtractResult Extractor::run(const FileList& entries) {
  events_.decompressing();
  const auto& all = entries.entries();
  std::vector<std::vector<const FileEntry*>> groups;
  std::vector<std::unique_ptr<DecodeJob>> jobs;
  std::vector<bool> has_job;
  for (const EntryGroup& g : split_into_groups(all.size(), [&](size_t i) { return all[i].flags; })) {
    std::vector<const FileEntry*> group;
    for (size_t k = 0; k < g.count; ++k) group.push_back(&all[g.first + k]);
    bool any = false;
    for (const FileEntry* e : group) any = any || wildcards_.entry_selected(e->name);
    if (!any) continue;
    const FileEntry& head = *group[0];
    const bool packed = (head.flags & FLAG_STORED) == 0;
    const bool decode = packed && (group.size() > 1 || (!head.is_directory() && head.size > 0));
    if (decode) {
      jobs.push_back(std::make_unique<DecodeJob>());
      jobs.back()->head = &head;
      jobs.back()->group = group.size() > 1;
    }
    has_job.push_back(decode);
    groups.push_back(std::move(group));
  }

  OrderedJobs runner(options_.workers, jobs.size(),
                     [this, &jobs](size_t i, const OrderedJobs& r) { run_job(*jobs[i], r); });
  runner_ = &runner;
  size_t next_job = 0;
  for (size_t g = 0; g < groups.size(); ++g) {
    if (!has_job[g]) {
      process_group(groups[g], nullptr, 0);
      continue;
    }
    process_group(groups[g], jobs[next_job].get(), next_job);
    jobs[next_job].reset();
    runner.release(next_job);
    ++next_job;
  }
  runner_ = nullptr;

  if (result_.processed == 0) raise_error(ErrorCode::NOTHING_TO_DO);
  events_.extraction_finished(options_.write_files, result_.processed, result_.crc_failed);
  return result_;
}

void Extractor::run_job(DecodeJob& job, const OrderedJobs& runner) const {
  try {
    StreamCodec codec(coding_, &pipelines_);
    platform::File file;
    if (!file.open_read(archive_.archive_name())) raise_error(ErrorCode::IO_ERROR);
    ArchiveSource source(file, job.head->offset);
    if (job.group) {
      job.group_data = codec.decode_chunk(source);
      return;
    }
    const uint32_t size = job.head->size;
    for (uint32_t remaining = size; remaining > 0;) {
      if (runner.cancelled()) return;
      const std::vector<uint8_t> chunk = codec.decode_chunk(source);
      if (chunk.empty() || chunk.size() > remaining) {
        // The chunks do not add up to the size: keep what fits, report it.
        const size_t usable = chunk.size() < remaining ? chunk.size() : remaining;
        job.piece.append(chunk.data(), usable);
        job.corrupt = true;
        return;
      }
      job.piece.append(chunk.data(), chunk.size());
      remaining -= static_cast<uint32_t>(chunk.size());
      job.progress.store(size - remaining, std::memory_order_relaxed);
    }
  } catch (...) {
    job.error = std::current_exception();
  }
}

void Extractor::process_group(const std::vector<const FileEntry*>& group, DecodeJob* job, size_t job_index) {
  if (group.size() == 1) {
    process_entry(*group[0], nullptr, job, job_index);
    return;
  }
  std::vector<uint8_t> data;
  if (job != nullptr) {
    runner_->wait(job_index);
    if (job->error) std::rethrow_exception(job->error);
    data = std::move(job->group_data);
  } else {
    data = read_group(*group[0]);
  }
  for (const FileEntry* e : group) {
    if (wildcards_.entry_selected(e->name)) process_entry(*e, &data, nullptr, 0);
  }
}

std::vector<uint8_t> Extractor::read_group(const FileEntry& head) {
  if ((head.flags & FLAG_STORED) != 0) {
    // Checked against the file before the buffer is allocated.
    const uint64_t length = archive_.length();
    if (head.offset > length || head.packed_size > length - head.offset) raise_error(ErrorCode::IO_ERROR);
    std::vector<uint8_t> data(head.packed_size);
    if (!archive_.file().seek(head.offset) || !archive_.file().read_exact(data.data(), data.size()))
      raise_error(ErrorCode::IO_ERROR);
    return data;
  }
  raise_error(ErrorCode::HEADER_DAMAGE);  // packed groups are decoded by the workers
}

std::string Extractor::output_path(const FileEntry& entry) {
  OutputTarget target = tree_.target_for(entry.name, options_.keep_paths);
  if (target.relative.empty() && !entry.is_directory()) {
    target.relative = "_";
    target.path += '_';
  }
  if (target.changed()) events_.unsafe_path(target.asked, target.relative);
  if (target.relative.empty()) return {};  // the output directory itself: left as it is
  return target.path;
}

void Extractor::copy_stored(const FileEntry& entry, Output& out) {
  if (!archive_.file().seek(entry.offset)) raise_error(ErrorCode::IO_ERROR);
  std::vector<uint8_t> buffer(entry.size < COPY_PIECE ? entry.size : COPY_PIECE);
  for (uint32_t remaining = entry.size; remaining > 0;) {
    const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
    if (!archive_.file().read_exact(buffer.data(), piece)) raise_error(ErrorCode::IO_ERROR);
    out.take(buffer.data(), piece);
    remaining -= piece;
    events_.entry_progress(entry.size - remaining);
  }
}

// A packed single file: its bytes as the worker decoded them (all of them,
// or up to where a damaged stream ended), then the worker's error, if any.
void Extractor::take_decoded_file(const FileEntry& entry, DecodeJob& job, size_t job_index, Output& out) {
  runner_->wait(job_index, [&] { events_.entry_progress(job.progress.load(std::memory_order_relaxed)); });
  job.piece.read_back([&out](const uint8_t* data, size_t count) { out.take(data, count); });
  if (job.corrupt) out.corrupt = true;
  if (job.error) std::rethrow_exception(job.error);
}

void Extractor::process_entry(const FileEntry& entry, const std::vector<uint8_t>* group_data, DecodeJob* job,
                              size_t job_index) {
  ++result_.processed;
  events_.entry_started(entry, entry.is_directory() ? 0 : entry.size);
  process_entry_data(entry, group_data, job, job_index);
  events_.entry_finished();
}

void Extractor::process_entry_data(const FileEntry& entry, const std::vector<uint8_t>* group_data, DecodeJob* job,
                                   size_t job_index) {
  const bool write = options_.write_files;
  // Only a run that writes needs (and warns about) the output path.
  std::string path;
  if (write && (options_.keep_paths || !entry.is_directory())) path = output_path(entry);

  if (entry.is_directory()) {
    if (options_.keep_paths && write && !path.empty()) {
      path += '\\';
      tree_.check_no_escaping_link(path);
      tree_.make_directories(path);
      platform::restore_directory_mode(platform::native_path(path), entry.attributes);
    }
    return;
  }

  Output out;
  out.write = write;
  if (write) {
    tree_.check_no_escaping_link(path);
    tree_.make_directories(path);
    const std::string native = platform::native_path(path);
    if (platform::is_symlink(native)) platform::remove_file(native);
    if (!out.file.open_write(native, COPY_PIECE)) raise_error(ErrorCode::IO_ERROR);
  }

  out.crc.begin();
  if (group_data != nullptr) {
    const uint64_t position = (entry.flags & FLAG_SOLID_CONTINUATION) != 0 ? entry.offset : 0;
    const uint64_t available = group_data->size();
    const uint64_t start = position < available ? position : available;
    const uint64_t end = position + entry.size <= available ? position + entry.size : available;
    out.take(group_data->data() + start, static_cast<size_t>(end - start));
    if (position + entry.size > available) out.corrupt = true;
  } else if (entry.size == 0) {
    // nothing to read
  } else if ((entry.flags & FLAG_STORED) != 0) {
    copy_stored(entry, out);
  } else if (job != nullptr) {
    take_decoded_file(entry, *job, job_index, out);
  } else {
    raise_error(ErrorCode::HEADER_DAMAGE);  // not reached: every packed file has a job
  }
  if (out.corrupt || out.crc.value() != entry.crc) {
    result_.crc_failed = true;
    events_.crc_failed(entry);
  }

  if (write) {
    if (!out.file.close()) raise_error(ErrorCode::IO_ERROR);
    platform::restore_file_metadata(platform::native_path(path), entry.attributes,
                                    platform::dos_to_unix(entry.dos_date, entry.dos_time));
  }
}

}  // namespace

ExtractResult extract_archive(ArchiveReader& archive, const FileList& entries, const WildcardList& wildcards,
                              const ExtractOptions& options, DriverEvents& events) {
  Extractor extractor(archive, wildcards, options, events);
  return extractor.run(entries);
}

}  // namespace tarn
