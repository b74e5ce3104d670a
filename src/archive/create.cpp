// The creation driver (see create.h), step by step as the format orders it.
//
// The archive is written strictly forward except for the store fallback of
// a single file (seek back to its start and copy it raw; bytes of the
// abandoned packed piece are overwritten or cut off by the final truncation)
// and the two back-patches at the end (table CRC, header). A solid group is
// packed in memory, so its fallback is decided before anything is written,
// which gives the same bytes.
#include "archive/create.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/progress.h"
#include "archive/display_name.h"
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
  void solid_phase(const std::vector<FileEntry*>& candidates);
  void flush_group(FileEntry& head);
  void plain_entry(FileEntry& entry);
  void store_file(platform::File& input, uint32_t size, Crc32& crc);
  void compress_file(platform::File& input, uint32_t size, Crc32& crc);
  void write_table_and_header(const std::vector<FileEntry*>& order, uint64_t total);

  platform::File& archive_;
  const CreateOptions& options_;
  CodingSetup setup_;
  uint64_t header_position_ = 0;
  std::vector<uint8_t> group_;  // the open solid group's bytes
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

void Creator::solid_phase(const std::vector<FileEntry*>& candidates) {
  if (candidates.empty()) return;
  group_.reserve(CHUNK_SIZE);
  FileEntry* head = nullptr;
  for (FileEntry* e : candidates) {
    print_progress(*e);
    platform::File input = open_input(*e);
    if ((e->flags & FLAG_SOLID_CONTINUATION) == 0) {
      if (head != nullptr) flush_group(*head);
      group_.clear();
      head = e;
    } else {
      e->offset = static_cast<uint32_t>(group_.size());
      e->packed_size = 0;
    }
    // read_into_group: the selected size, in COPY_PIECE pieces.
    Crc32 crc;
    crc.begin();
    uint32_t remaining = e->size;
    while (remaining > 0) {
      const uint32_t piece = remaining < COPY_PIECE ? remaining : COPY_PIECE;
      const size_t at = group_.size();
      group_.resize(at + piece);
      if (!input.read_exact(group_.data() + at, piece)) raise_error(ErrorCode::IO_ERROR);
      crc.update(group_.data() + at, piece);
      remaining -= piece;
    }
    e->crc = crc.value();
  }
  if (head != nullptr) flush_group(*head);
  group_ = std::vector<uint8_t>();
}

void Creator::flush_group(FileEntry& head) {
  head.offset = static_cast<uint32_t>(archive_.tell());
  const auto fill = static_cast<uint32_t>(group_.size());
  const std::vector<uint8_t> piece = pack_group_stream(setup_, group_);  // a copy: the raw group is kept
  if (piece.size() + STORE_MARGIN > fill) {
    write_or_fail(archive_, group_.data(), fill);
    head.packed_size = fill;
    head.flags |= FLAG_STORED;
  } else {
    write_or_fail(archive_, piece.data(), piece.size());
    head.packed_size = static_cast<uint32_t>(piece.size());
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

// One file's stream: chunks of CHUNK_SIZE bytes through one codec, each
// chunk stream written to the archive as soon as it is made.
void Creator::compress_file(platform::File& input, uint32_t size, Crc32& crc) {
  crc.begin();
  StreamCodec codec(setup_);
  ByteSink sink;
  ProgressMeter progress(size);
  uint32_t remaining = size;
  while (remaining > 0) {
    const uint32_t length = remaining < CHUNK_SIZE ? remaining : CHUNK_SIZE;
    std::vector<uint8_t> chunk(length);
    if (!input.read_exact(chunk.data(), length)) raise_error(ErrorCode::IO_ERROR);
    crc.update(chunk.data(), length);
    sink.clear();
    codec.compress_chunk(std::move(chunk), sink);
    write_or_fail(archive_, sink.bytes().data(), sink.size());
    remaining -= length;
    progress.advance(size - remaining);
  }
}

void Creator::plain_entry(FileEntry& entry) {
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
  // An empty file packs to nothing and is always stored; the codec is not
  // needed to learn that.
  if (options_.method == METHOD_STORE || entry.size == 0) {
    store_file(input, entry.size, crc);
    entry.packed_size = entry.size;
    entry.flags |= FLAG_STORED;
  } else {
    compress_file(input, entry.size, crc);
    const uint64_t produced = archive_.tell() - entry.offset;
    if (produced + STORE_MARGIN > entry.size) {
      seek_or_fail(archive_, entry.offset);
      seek_or_fail(input, 0);
      store_file(input, entry.size, crc);
      entry.packed_size = entry.size;
      entry.flags |= FLAG_STORED;
    } else {
      entry.packed_size = static_cast<uint32_t>(produced);
    }
  }
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
  put_u32_le(crc_bytes, crc.value());
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

  solid_phase(std::vector<FileEntry*>(order.begin(), order.begin() + static_cast<ptrdiff_t>(candidate_count)));
  for (size_t i = candidate_count; i < order.size(); ++i) plain_entry(*order[i]);

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
