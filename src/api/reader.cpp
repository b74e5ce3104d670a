// The reading half of the C interface: opening an archive (a file, the
// caller's callbacks, memory), its table, and the calls that test and
// extract entries through the extraction driver.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "api/api_support.h"
#include "api/reader.h"
#include "common/wildcard.h"
#include "files/output_tree.h"
#include "files/selection.h"
#include "platform/dos_time.h"
#include "platform/filesystem.h"
#include "platform/processors.h"
#include "stream/file_input.h"

namespace tarn::api {

namespace {

// An archive read through the caller's read and seek functions. They move
// one position, so reads from several workers take turns.
class CallbackInput : public RandomAccessInput {
 public:
  CallbackInput(tarn_read_fn read, tarn_seek_fn seek, void* opaque) : read_(read), seek_(seek), opaque_(opaque) {
    const int64_t end = seek_(opaque_, 0, 2);
    if (end < 0) raise_error(ErrorCode::IO_ERROR, name_ + ": the seek function failed");
    length_ = static_cast<uint64_t>(end);
  }
  uint64_t length() const override { return length_; }
  const std::string& name() const override { return name_; }
  size_t read_at(uint64_t position, void* data, size_t count) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (seek_(opaque_, static_cast<int64_t>(position), 0) != static_cast<int64_t>(position))
      raise_error(ErrorCode::IO_ERROR, name_ + ": the seek function failed");
    size_t got = 0;
    auto* out = static_cast<uint8_t*>(data);
    while (got < count) {
      const int64_t n = read_(opaque_, out + got, count - got);
      if (n < 0) raise_error(ErrorCode::IO_ERROR, name_ + ": the read function failed");
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    return got;
  }

 private:
  tarn_read_fn read_;
  tarn_seek_fn seek_;
  void* opaque_;
  uint64_t length_ = 0;
  std::string name_ = "(callbacks)";
  mutable std::mutex mutex_;
};

}  // namespace

uint32_t entry_mode(const FileEntry& e) {
  const uint32_t stored = e.attributes >> 16;
  if (stored != 0) return stored & 0777;
  uint32_t mode = e.is_directory() ? 0755 : 0644;
  if ((e.attributes & ATTR_READ_ONLY) != 0) mode &= ~0222u;
  return mode;
}

// What the extraction driver reports, as the caller's events and a summary.
class ReaderEvents : public DriverEvents {
 public:
  ReaderEvents(tarn_reader& reader, tarn_summary& summary) : reader_(reader), summary_(summary) {}

  std::string first_damaged;
  std::string first_refused;

  void extraction_started(uint64_t entries, uint64_t total) override {
    summary_.bytes = total;
    total_ = total;
    (void)entries;
  }
  void unsafe_path(const std::string& name, const std::string& written_as) override {
    const std::string text = "unsafe path written as " + written_as;
    sink().send(TARN_EVENT_NOTE, current_, &name, 0, 0, TARN_ERROR_REFUSED, text.c_str());
  }
  void entry_skipped(const FileEntry& entry, SkipReason why) override {
    const char* text = "skipped: its name is too long";
    int code = TARN_ERROR_REFUSED;
    switch (why) {
      case SkipReason::IS_THE_ARCHIVE: text = "skipped: it is the archive being read"; break;
      case SkipReason::NAME_TOO_LONG: break;
      case SkipReason::LINK_ON_PATH: text = "skipped: a link is on its path"; break;
      case SkipReason::EXISTS:
        text = "skipped: a file of that name exists";
        code = TARN_ERROR_EXISTS;
        ++existing_;
        break;
      case SkipReason::NEWER_EXISTS:
        // Kept as asked: a note, not a refusal.
        sink().send(TARN_EVENT_NOTE, index_of(entry), &entry.name, 0, 0, TARN_OK, "kept: the file there is newer");
        return;
    }
    if (summary_.refused == 0) first_refused = entry.name;
    ++summary_.refused;
    skipped_ = true;
    sink().send(TARN_EVENT_NOTE, index_of(entry), &entry.name, 0, 0, code, text);
  }
  // Whether every refused entry was refused for an existing file.
  bool only_existing() const { return existing_ > 0 && existing_ == summary_.refused; }
  void crc_failed(const FileEntry& entry) override {
    if (summary_.damaged == 0) first_damaged = entry.name;
    ++summary_.damaged;
    damaged_ = true;
    sink().send(TARN_EVENT_CRC_ERROR, index_of(entry), &entry.name, 0, 0, TARN_ERROR_DAMAGED_ENTRY);
  }
  void entry_started(const FileEntry& entry, uint64_t bytes) override {
    ++summary_.entries;
    current_ = index_of(entry);
    current_entry_ = &entry;
    entry_done_ = 0;
    damaged_ = false;
    skipped_ = false;
    sink().send(TARN_EVENT_ENTRY_START, current_, &entry.name, 0, bytes);
  }
  void entry_progress(uint64_t done) override {
    entry_done_ = done;
    sink().send(TARN_EVENT_PROGRESS, current_, current_entry_ ? &current_entry_->name : nullptr, base_ + done,
                total_);
  }
  void entry_finished() override {
    if (current_entry_ != nullptr && !current_entry_->is_directory()) base_ += current_entry_->size;
    const int code = damaged_ ? TARN_ERROR_DAMAGED_ENTRY : skipped_ ? TARN_ERROR_REFUSED : TARN_OK;
    sink().send(TARN_EVENT_ENTRY_DONE, current_, current_entry_ ? &current_entry_->name : nullptr, base_, total_,
                code);
  }

 private:
  const EventSink& sink() const { return reader_.events; }
  int64_t index_of(const FileEntry& entry) {
    if (indices_.empty()) {
      const auto& all = reader_.table.entries();
      indices_.reserve(all.size());
      for (size_t i = 0; i < all.size(); ++i) indices_[&all[i]] = i;
    }
    const auto found = indices_.find(&entry);
    return found == indices_.end() ? -1 : static_cast<int64_t>(found->second);
  }

  tarn_reader& reader_;
  tarn_summary& summary_;
  std::unordered_map<const FileEntry*, size_t> indices_;
  int64_t current_ = -1;
  const FileEntry* current_entry_ = nullptr;
  uint64_t base_ = 0;
  uint64_t total_ = 0;
  uint64_t entry_done_ = 0;
  bool damaged_ = false;
  bool skipped_ = false;
  uint64_t existing_ = 0;
};

std::string damage_text(const std::string& first, uint64_t count) {
  if (count == 1) return first + ": CRC error";
  return first + " and " + std::to_string(count - 1) + " more entries: CRC errors";
}

std::string refusal_text(const std::string& first, uint64_t count) {
  if (count == 1) return first + ": not written";
  return first + " and " + std::to_string(count - 1) + " more entries: not written";
}

std::vector<bool> selection(const tarn_reader& reader, const size_t* indices, size_t count) {
  const size_t n = reader.table.count();
  std::vector<bool> selected(n, indices == nullptr);
  if (indices != nullptr) {
    for (size_t k = 0; k < count; ++k) {
      if (indices[k] >= n) raise_error(ErrorCode::INCORRECT_REQUEST, "an entry index out of range");
      selected[indices[k]] = true;
    }
  }
  return selected;
}

unsigned worker_count(unsigned threads) {
  if (threads > 0) return threads;
  return platform::usable_processors();
}

tarn_result run_extraction(tarn_reader& reader, const std::vector<bool>& selected, ExtractOptions options,
                           tarn_summary* summary) {
  tarn_summary local{};
  tarn_summary& out = summary != nullptr ? *summary : local;
  out = tarn_summary{};
  bool any = false;
  for (const bool s : selected) any = any || s;
  if (!any) return TARN_OK;  // nothing to do
  options.workers = worker_count(reader.threads);
  ReaderEvents events(reader, out);
  extract_archive(reader.archive, reader.table, selected, options, events);
  if (out.damaged > 0) return fail(TARN_ERROR_DAMAGED_ENTRY, damage_text(events.first_damaged, out.damaged));
  if (out.refused > 0 && events.only_existing())
    return fail(TARN_ERROR_EXISTS, out.refused == 1 ? events.first_refused + ": a file of that name exists"
                                                    : events.first_refused + " and " + std::to_string(out.refused - 1) +
                                                          " more entries: files of those names exist");
  if (out.refused > 0) return fail(TARN_ERROR_REFUSED, refusal_text(events.first_refused, out.refused));
  return TARN_OK;
}

}  // namespace tarn::api

using tarn::api::fail;
using tarn::api::guarded;

namespace {

tarn_result open_reader(tarn_reader** reader, const std::function<void(tarn_reader&)>& open) {
  if (reader == nullptr) return fail(TARN_ERROR_ARGUMENT, "no place for the reader");
  *reader = nullptr;
  std::string label;
  const tarn_result result = guarded([&] {
    auto made = std::make_unique<tarn_reader>();
    open(*made);
    label = made->archive.input().name();
    made->archive.read_file_table(made->table);
    made->coding.method = made->archive.header().method;
    made->index_groups();
    *reader = made.release();
    return TARN_OK;
  });
  // Every failure names the archive ("a.trn: Header damage encountered!").
  const std::string text = tarn_last_error();
  if (result != TARN_OK && !label.empty() && !text.starts_with(label)) tarn::api::set_last_error(label + ": " + text);
  return result;
}

}  // namespace

void tarn_reader::index_groups() {
  const auto& all = table.entries();
  groups = tarn::split_into_groups(all.size(), [&](size_t i) { return all[i].flags; });
  group_of.resize(all.size());
  for (size_t g = 0; g < groups.size(); ++g)
    for (size_t k = 0; k < groups[g].count; ++k) group_of[groups[g].first + k] = static_cast<uint32_t>(g);
  paths.resize(all.size());
}

extern "C" {

tarn_result tarn_reader_open(tarn_reader** reader, const char* path) {
  if (path == nullptr) return fail(TARN_ERROR_ARGUMENT, "no archive name");
  return open_reader(reader, [&](tarn_reader& r) { r.archive.open_archive_for_reading(path); });
}

tarn_result tarn_reader_open_callbacks(tarn_reader** reader, tarn_read_fn read, tarn_seek_fn seek, void* opaque) {
  if (read == nullptr || seek == nullptr) return fail(TARN_ERROR_ARGUMENT, "no read or seek function");
  return open_reader(reader, [&](tarn_reader& r) {
    r.archive.open_input(std::make_unique<tarn::api::CallbackInput>(read, seek, opaque));
  });
}

tarn_result tarn_reader_open_memory(tarn_reader** reader, const void* data, size_t size) {
  if (data == nullptr && size > 0) return fail(TARN_ERROR_ARGUMENT, "no data");
  return open_reader(reader, [&](tarn_reader& r) {
    r.archive.open_input(std::make_unique<tarn::MemoryInput>(static_cast<const uint8_t*>(data), size));
  });
}

void tarn_reader_close(tarn_reader* reader) { delete reader; }

tarn_result tarn_reader_set_events(tarn_reader* reader, tarn_event_fn events, void* opaque) {
  if (reader == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader");
  reader->events = tarn::api::EventSink(events, opaque);
  return TARN_OK;
}

tarn_result tarn_reader_set_threads(tarn_reader* reader, unsigned threads) {
  if (reader == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader");
  reader->threads = threads;
  return TARN_OK;
}

tarn_result tarn_reader_info(const tarn_reader* reader, tarn_archive_info* info) {
  if (reader == nullptr || info == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader or no place for the info");
  *info = tarn_archive_info{};
  const tarn::ArchiveHeader& h = reader->archive.header();
  info->entry_count = reader->table.count();
  info->total_size = h.total_size;
  info->archive_size = reader->archive.length();
  info->header_offset = reader->archive.header_position();
  info->method = h.method;
  return TARN_OK;
}

size_t tarn_reader_entry_count(const tarn_reader* reader) { return reader == nullptr ? 0 : reader->table.count(); }

tarn_result tarn_reader_entry(tarn_reader* reader, size_t index, tarn_entry* entry) {
  if (reader == nullptr || entry == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader or no place for the entry");
  if (index >= reader->table.count()) return fail(TARN_ERROR_ARGUMENT, "an entry index out of range");
  return guarded([&] {
    const tarn::FileEntry& e = reader->table.entries()[index];
    std::string& path = reader->paths[index];
    if (path.empty()) {
      std::string safe = tarn::make_safe_relative_name(e.name);
      if (safe.empty() && !e.is_directory()) safe.push_back('_');
      path = tarn::platform::native_path(safe);
    }
    const tarn::EntryGroup& group = reader->groups[reader->group_of[index]];
    *entry = tarn_entry{};
    entry->name = e.name.c_str();
    entry->path = path.c_str();
    entry->size = e.size;
    entry->packed_size = index == group.first ? e.packed_size : 0;
    entry->mtime = tarn::platform::dos_to_unix(e.dos_date, e.dos_time);
    entry->attributes = e.attributes & 0xFFFF;
    entry->mode = tarn::api::entry_mode(e);
    entry->crc = e.crc;
    entry->is_directory = e.is_directory() ? 1 : 0;
    entry->is_stored = (reader->table.entries()[group.first].flags & tarn::FLAG_STORED) != 0 ? 1 : 0;
    entry->group = reader->group_of[index];
    entry->group_size = group.count;
    return TARN_OK;
  });
}

tarn_result tarn_reader_find(const tarn_reader* reader, const char* name, size_t* index) {
  if (reader == nullptr || name == nullptr || index == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader or name");
  const std::string wanted = tarn::to_stored_separators(name);
  const auto& all = reader->table.entries();
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].name == wanted) {
      *index = i;
      return TARN_OK;
    }
  }
  return fail(TARN_ERROR_NOT_FOUND, wanted + ": no such entry");
}

int tarn_name_matches(const char* pattern, const char* name) {
  if (pattern == nullptr || name == nullptr) return 0;
  return tarn::wildcard_match(name, tarn::to_stored_separators(pattern)) ? 1 : 0;
}

tarn_result tarn_test(tarn_reader* reader, const size_t* indices, size_t count, tarn_summary* summary) {
  if (reader == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader");
  return guarded([&] {
    tarn::ExtractOptions options;
    options.write_files = false;
    return tarn::api::run_extraction(*reader, tarn::api::selection(*reader, indices, count), options, summary);
  });
}

}  // extern "C"
