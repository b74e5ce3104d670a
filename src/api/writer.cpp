// The writing half of the C interface: entries gathered from files,
// directories, memory and the caller's read functions, then one run of the
// creation driver when the writer is closed -- the same driver, in the same
// order of work, as tarnc's c, so that the same files, names, times and
// options make the same archive byte for byte.
//
// Entries are listed the way the command line's selection lists them: each
// new one in front of the others, so that the list runs in reverse order of
// addition, which is what the name sort is given (its pivots depend on that
// order). An archive being changed keeps its groups that lose nothing:
// their pieces are copied as they are. A solid group that loses or replaces
// a member is decoded and its other members join the new entries.
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "api/api_support.h"
#include "api/reader.h"
#include "archive/archive_output.h"
#include "archive/create.h"
#include "common/wildcard.h"
#include "files/pending_file.h"
#include "files/pivot_generator.h"
#include "files/selection.h"
#include "platform/dos_time.h"
#include "platform/filesystem.h"
#include "stream/file_input.h"

using tarn::api::fail;
using tarn::api::guarded;

namespace {

// A member read from a spool file beside the archive, by position.
class SpoolInput : public tarn::SequentialInput {
 public:
  SpoolInput(tarn::platform::File& file, uint64_t size, std::string name)
      : file_(file), size_(size), name_(std::move(name)) {}
  size_t read(void* data, size_t count) override {
    const uint64_t left = size_ - at_;
    const size_t want = left < count ? static_cast<size_t>(left) : count;
    size_t got = 0;
    std::string error;
    if (!file_.read_at(at_, data, want, got, error)) tarn::raise_error(tarn::ErrorCode::IO_ERROR, name_ + ": " + error);
    at_ += got;
    return got;
  }
  const std::string& name() const override { return name_; }

 private:
  tarn::platform::File& file_;
  uint64_t size_;
  uint64_t at_ = 0;
  std::string name_;
};

}  // namespace

struct tarn_writer {
  enum class Source { FILE, MEMORY, SPOOL };
  struct Item {
    tarn::FileEntry entry;
    Source source = Source::FILE;
    std::string path;                // FILE: the OS path
    std::vector<uint8_t> bytes;      // MEMORY
    tarn::PendingFile* spool = nullptr;  // SPOOL
    bool removed = false;
  };

  std::string path;  // the archive, as named
  tarn_write_options options{};
  std::string stub;
  tarn::api::EventSink events{nullptr, nullptr};
  std::vector<Item> items;  // in the order added
  std::vector<std::unique_ptr<tarn::PendingFile>> spools;
  // An archive being changed, and which of its entries go.
  std::unique_ptr<tarn_reader> old;
  std::vector<bool> old_removed;
  bool have_archive_id = false;
  tarn::platform::FileId archive_id;
};

namespace {

constexpr size_t MAX_NAME = 65535;  // the table's name length field

void check_name(const std::string& name) {
  if (name.empty() || name.size() > MAX_NAME || name.find('\0') != std::string::npos)
    tarn::raise_error(tarn::ErrorCode::INCORRECT_REQUEST, "an entry name must be 1 to 65,535 bytes without NUL");
}

std::string base_name(const std::string& stored) {
  const size_t slash = stored.find_last_of('\\');
  return slash == std::string::npos ? stored : stored.substr(slash + 1);
}

// The attribute bits of an entry given by the caller, as the selection
// would give them for a regular file of that mode and name.
uint32_t memory_attributes(uint32_t mode, const std::string& stored) {
  if (mode == 0) mode = 0644;
  uint32_t attributes = tarn::ATTR_ARCHIVE;
  if ((mode & 0200) == 0) attributes |= tarn::ATTR_READ_ONLY;
  const std::string base = base_name(stored);
  if (!base.empty() && base[0] == '.') attributes |= tarn::ATTR_HIDDEN;
  if ((mode & 07777) != 0644) attributes |= ((0100000u | (mode & 07777)) & 0xFFFFu) << 16;
  return attributes;
}

void set_time(tarn::FileEntry& e, int64_t mtime) {
  const tarn::platform::DosDateTime stamp = tarn::platform::unix_to_dos(mtime);
  e.dos_date = stamp.date;
  e.dos_time = stamp.time;
}

tarn_writer::Item& add_item(tarn_writer& w, tarn::FileEntry entry) {
  check_name(entry.name);
  tarn_writer::Item item;
  item.entry = std::move(entry);
  w.items.push_back(std::move(item));
  return w.items.back();
}

// A file or directory found on the disk, as an entry.
tarn::FileEntry found_entry(const std::string& native, const std::string& stored, bool want_directory) {
  tarn::platform::FoundEntry found;
  std::string error;
  if (!tarn::platform::describe_path(native, found, error)) tarn::raise_error(tarn::ErrorCode::IO_ERROR, native + ": " + error);
  const bool directory = (found.attributes & tarn::ATTR_DIRECTORY) != 0;
  if (directory != want_directory)
    tarn::raise_error(tarn::ErrorCode::INCORRECT_REQUEST, native + (directory ? ": a directory" : ": not a directory"));
  if ((found.size >> 32) != 0 || found.size > tarn::TOTAL_SIZE_LIMIT)
    tarn::raise_error(tarn::ErrorCode::ARCHIVE_TOO_BIG, native + ": too big for an archive");
  tarn::FileEntry e;
  e.name = stored;
  e.size = static_cast<uint32_t>(found.size);
  e.attributes = found.attributes;
  set_time(e, found.mtime);
  return e;
}

bool is_the_archive(const tarn_writer& w, const std::string& native) {
  tarn::platform::FileId id;
  return w.have_archive_id && tarn::platform::path_identity(native, id) && id == w.archive_id;
}

// Creation's events as the caller's.
class WriterEvents : public tarn::DriverEvents {
 public:
  WriterEvents(const tarn::api::EventSink& sink, const std::unordered_map<const tarn::FileEntry*, int64_t>& index)
      : sink_(sink), index_(index) {}
  void packing_started(bool, uint64_t, uint64_t total) override { total_ = total; }
  void entry_started(const tarn::FileEntry& entry, uint64_t bytes) override {
    current_ = &entry;
    sink_.send(TARN_EVENT_ENTRY_START, index_of(entry), &entry.name, base_, bytes);
  }
  void entry_progress(uint64_t done) override {
    sink_.send(TARN_EVENT_PROGRESS, current_ ? index_of(*current_) : -1, current_ ? &current_->name : nullptr,
               base_ + done, total_);
  }
  void entry_finished() override {
    if (current_ == nullptr) return;
    base_ += current_->size;
    sink_.send(TARN_EVENT_ENTRY_DONE, index_of(*current_), &current_->name, base_, total_, TARN_OK);
    current_ = nullptr;
  }

 private:
  int64_t index_of(const tarn::FileEntry& e) const {
    const auto found = index_.find(&e);
    return found == index_.end() ? -1 : found->second;
  }
  const tarn::api::EventSink& sink_;
  const std::unordered_map<const tarn::FileEntry*, int64_t>& index_;
  const tarn::FileEntry* current_ = nullptr;
  uint64_t base_ = 0;
  uint64_t total_ = 0;
};

// The archive file: not a directory, not write-protected, a regular file
// if it exists at all -- refused before anything is written.
void check_archive_target(const std::string& name) {
  if (tarn::platform::is_directory(name))
    tarn::raise_error(tarn::ErrorCode::CANNOT_OPEN_ARCHIVE, name + ": a directory of that name exists");
  if (tarn::platform::is_write_protected(name))
    tarn::raise_error(tarn::ErrorCode::CANNOT_OPEN_ARCHIVE, name + ": write-protected");
}

// Decodes the members of an old solid group that survive, as new entries.
void take_survivors(tarn_writer& w, size_t g, std::vector<tarn_writer::Item>& out) {
  tarn_reader& old = *w.old;
  const tarn::EntryGroup& group = old.groups[g];
  for (size_t k = 0; k < group.count; ++k) {
    const size_t i = group.first + k;
    if (w.old_removed[i]) continue;
    tarn_writer::Item item;
    item.entry = old.table.entries()[i];
    item.source = tarn_writer::Source::MEMORY;
    if (!item.entry.is_directory()) {
      void* data = nullptr;
      size_t size = 0;
      const tarn_result r = tarn_extract_to_memory(&old, i, &data, &size);
      if (r != TARN_OK) {
        tarn_free(data);
        tarn::raise_error(r == TARN_ERROR_DAMAGED_ENTRY ? tarn::ErrorCode::HEADER_DAMAGE : tarn::ErrorCode::IO_ERROR,
                          item.entry.name + ": cannot be packed again: " + tarn_last_error());
      }
      item.bytes.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
      tarn_free(data);
    }
    item.entry.flags = 0;
    item.entry.offset = 0;
    item.entry.packed_size = 0;
    out.push_back(std::move(item));
  }
}

tarn_result close_writer(tarn_writer& w) {
  // The last entry added under a name replaces the earlier ones.
  std::unordered_set<std::string> names;
  std::vector<tarn_writer::Item*> chosen;
  for (auto it = w.items.rbegin(); it != w.items.rend(); ++it)
    if (!it->removed && names.insert(it->entry.name).second) chosen.push_back(&*it);
  std::reverse(chosen.begin(), chosen.end());

  std::vector<tarn::KeptGroup> kept;
  std::vector<tarn_writer::Item> survivors;
  tarn::CodingOptions coding;
  coding.method = static_cast<uint8_t>(w.options.method);
  coding.filters = static_cast<uint8_t>(tarn::FILTER_ALLOW_ALL & ~w.options.disabled_filters);
  if (w.old) {
    tarn_reader& old = *w.old;
    coding.method = old.archive.header().method;
    const auto& all = old.table.entries();
    for (size_t i = 0; i < all.size(); ++i)
      if (names.count(all[i].name) != 0) w.old_removed[i] = true;
    for (size_t g = 0; g < old.groups.size(); ++g) {
      const tarn::EntryGroup& group = old.groups[g];
      size_t gone = 0;
      for (size_t k = 0; k < group.count; ++k) gone += w.old_removed[group.first + k] ? 1 : 0;
      if (gone == group.count) continue;
      if (gone == 0) {
        tarn::KeptGroup keep;
        keep.entries.assign(all.begin() + static_cast<long>(group.first),
                            all.begin() + static_cast<long>(group.first + group.count));
        keep.source = &old.archive.input();
        kept.push_back(std::move(keep));
      } else {
        take_survivors(w, g, survivors);
      }
    }
  }

  // The list as the selection makes it: the newest entry at the head.
  tarn::FileList list;
  std::unordered_map<const tarn::FileEntry*, const tarn_writer::Item*> source_of;
  std::unordered_map<const tarn::FileEntry*, int64_t> index_of;
  auto push = [&](const tarn_writer::Item& item, int64_t index) {
    tarn::FileEntry& e = list.push_front(item.entry);
    source_of[&e] = &item;
    index_of[&e] = index;
  };
  for (const tarn_writer::Item& item : survivors) push(item, -1);
  for (const tarn_writer::Item* item : chosen) push(*item, item - w.items.data());

  tarn::CreateOptions options;
  options.coding = coding;
  options.solid_blocks = w.options.solid != 0;
  options.self_extracting = !w.stub.empty();
  options.sfx_stub = w.stub;
  options.archive_name = w.path;
  options.workers = tarn::api::worker_count(w.options.threads);
  options.kept = &kept;
  options.open_input = [&](const tarn::FileEntry& e) -> std::unique_ptr<tarn::SequentialInput> {
    const tarn_writer::Item& item = *source_of.at(&e);
    switch (item.source) {
      case tarn_writer::Source::FILE: return std::make_unique<tarn::FileMemberInput>(item.path, tarn::COPY_PIECE);
      case tarn_writer::Source::MEMORY:
        return std::make_unique<tarn::MemoryMemberInput>(item.bytes.data(), item.bytes.size(), e.name);
      case tarn_writer::Source::SPOOL:
        return std::make_unique<SpoolInput>(item.spool->file(), item.entry.size, e.name);
    }
    return nullptr;
  };

  check_archive_target(w.path);
  tarn::PendingFile archive;
  std::string error;
  if (!archive.create(w.path, tarn::ARCHIVE_BUFFER_SIZE, true, error))
    tarn::raise_error(tarn::ErrorCode::CANNOT_OPEN_ARCHIVE, w.path + ": " + error);
  tarn::PivotGenerator random;
  WriterEvents events(w.events, index_of);
  tarn::FileArchiveOutput output(archive.file());
  tarn::create_archive(output, list, options, random, events);
  const bool executable = options.self_extracting;
  if (!archive.commit(true, [&](tarn::platform::File& file) { if (executable) tarn::platform::make_executable(file); },
                      error))
    tarn::raise_error(tarn::ErrorCode::IO_ERROR, w.path + ": " + error);
  return TARN_OK;
}

tarn_result open_writer(tarn_writer** writer, const char* path, const tarn_write_options* options, bool update) {
  if (writer == nullptr) return fail(TARN_ERROR_ARGUMENT, "no place for the writer");
  *writer = nullptr;
  if (path == nullptr || *path == '\0') return fail(TARN_ERROR_ARGUMENT, "no archive name");
  tarn_write_options defaults;
  tarn_write_options_init(&defaults);
  const tarn_write_options& o = options != nullptr ? *options : defaults;
  if (o.method < TARN_METHOD_STORE || o.method > TARN_METHOD_EXTREME) return fail(TARN_ERROR_ARGUMENT, "unknown method");
  if ((o.disabled_filters & ~31u) != 0) return fail(TARN_ERROR_ARGUMENT, "unknown filter");
  return guarded([&] {
    auto w = std::make_unique<tarn_writer>();
    w->path = path;
    w->options = o;
    if (o.sfx_stub != nullptr) w->stub = o.sfx_stub;
    w->options.sfx_stub = nullptr;
    w->events = tarn::api::EventSink(o.events, o.events_opaque);
    w->have_archive_id = tarn::platform::path_identity(path, w->archive_id);
    if (update) {
      tarn_reader* old = nullptr;
      const tarn_result r = tarn_reader_open(&old, path);
      if (r != TARN_OK) return r;
      w->old.reset(old);
      w->old_removed.assign(old->table.count(), false);
    }
    *writer = w.release();
    return TARN_OK;
  });
}

}  // namespace

extern "C" {

void tarn_write_options_init(tarn_write_options* options) {
  if (options == nullptr) return;
  *options = tarn_write_options{};
  options->method = TARN_METHOD_NORMAL;
}

tarn_result tarn_writer_open(tarn_writer** writer, const char* path, const tarn_write_options* options) {
  return open_writer(writer, path, options, false);
}

tarn_result tarn_writer_open_update(tarn_writer** writer, const char* path, const tarn_write_options* options) {
  return open_writer(writer, path, options, true);
}

tarn_result tarn_writer_add_file(tarn_writer* writer, const char* path, const char* stored_name) {
  if (writer == nullptr || path == nullptr) return fail(TARN_ERROR_ARGUMENT, "no writer or no path");
  return guarded([&] {
    const std::string stored = tarn::to_stored_separators(stored_name != nullptr ? stored_name : path);
    const std::string native = tarn::platform::native_path(tarn::to_stored_separators(path));
    if (is_the_archive(*writer, native)) return fail(TARN_ERROR_REFUSED, native + ": it is the archive being written");
    tarn_writer::Item& item = add_item(*writer, found_entry(native, stored, false));
    item.path = native;
    return TARN_OK;
  });
}

tarn_result tarn_writer_add_directory(tarn_writer* writer, const char* path, const char* stored_name) {
  if (writer == nullptr || path == nullptr) return fail(TARN_ERROR_ARGUMENT, "no writer or no path");
  return guarded([&] {
    std::string stored = tarn::to_stored_separators(stored_name != nullptr ? stored_name : path);
    while (stored.size() > 1 && stored.back() == '\\') stored.pop_back();
    const std::string native = tarn::platform::native_path(tarn::to_stored_separators(path));
    add_item(*writer, found_entry(native, stored, true));
    return TARN_OK;
  });
}

tarn_result tarn_writer_add_tree(tarn_writer* writer, const char* path, const char* stored_name, tarn_filter_fn filter,
                                 void* opaque) {
  if (writer == nullptr || path == nullptr) return fail(TARN_ERROR_ARGUMENT, "no writer or no path");
  return guarded([&] {
    std::string root = tarn::to_stored_separators(path);
    while (root.size() > 1 && root.back() == '\\') root.pop_back();
    std::string stored_root = stored_name != nullptr ? tarn::to_stored_separators(stored_name) : root;
    while (stored_root.size() > 1 && stored_root.back() == '\\') stored_root.pop_back();
    const std::string native_root = tarn::platform::native_path(root);
    if (filter != nullptr && filter(opaque, native_root.c_str(), 1) != 0) return TARN_OK;
    add_item(*writer, found_entry(native_root, stored_root, true));
    // What c -r -d selects below it, in its order (the list runs backwards).
    tarn::FileList found;
    tarn::FileSelector selector(found, tarn::SelectionOptions{true, true});
    if (writer->have_archive_id) selector.exclude(writer->archive_id);
    selector.expand_wildcard(root + "\\");
    std::vector<std::string> left_out;  // directories left out, with everything below
    const auto& all = found.entries();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
      const std::string native = tarn::platform::native_path(it->name);
      bool below = false;
      for (const std::string& d : left_out) below = below || it->name.compare(0, d.size(), d) == 0;
      if (below) continue;
      if (filter != nullptr && filter(opaque, native.c_str(), it->is_directory() ? 1 : 0) != 0) {
        if (it->is_directory()) left_out.push_back(it->name + "\\");
        continue;
      }
      tarn::FileEntry e = *it;
      e.name = stored_root + it->name.substr(root.size());
      tarn_writer::Item& item = add_item(*writer, std::move(e));
      item.path = native;
    }
    return TARN_OK;
  });
}

tarn_result tarn_writer_add_memory(tarn_writer* writer, const char* stored_name, const void* data, size_t size,
                                   int64_t mtime, uint32_t mode) {
  if (writer == nullptr || stored_name == nullptr || (data == nullptr && size > 0))
    return fail(TARN_ERROR_ARGUMENT, "no writer, name or data");
  if (size > tarn::TOTAL_SIZE_LIMIT) return fail(TARN_ERROR_TOO_BIG, std::string(stored_name) + ": too big for an archive");
  return guarded([&] {
    tarn::FileEntry e;
    e.name = tarn::to_stored_separators(stored_name);
    e.size = static_cast<uint32_t>(size);
    e.attributes = memory_attributes(mode, e.name);
    set_time(e, mtime);
    tarn_writer::Item& item = add_item(*writer, std::move(e));
    item.source = tarn_writer::Source::MEMORY;
    const auto* bytes = static_cast<const uint8_t*>(data);
    item.bytes.assign(bytes, bytes + size);
    return TARN_OK;
  });
}

tarn_result tarn_writer_add_callback(tarn_writer* writer, const char* stored_name, tarn_read_fn read, void* opaque,
                                     int64_t mtime, uint32_t mode) {
  if (writer == nullptr || stored_name == nullptr || read == nullptr)
    return fail(TARN_ERROR_ARGUMENT, "no writer, name or read function");
  return guarded([&] {
    tarn::FileEntry e;
    e.name = tarn::to_stored_separators(stored_name);
    check_name(e.name);
    e.attributes = memory_attributes(mode, e.name);
    set_time(e, mtime);
    // Spooled beside the archive, never in memory and never in /tmp.
    auto spool = std::make_unique<tarn::PendingFile>();
    std::string error;
    if (!spool->create(writer->path, 1 << 16, false, error)) tarn::raise_error(tarn::ErrorCode::IO_ERROR, writer->path + ": " + error);
    std::vector<uint8_t> buffer(1 << 16);
    uint64_t size = 0;
    for (;;) {
      const int64_t n = read(opaque, buffer.data(), buffer.size());
      if (n < 0) tarn::raise_error(tarn::ErrorCode::IO_ERROR, e.name + ": the read function failed");
      if (n == 0) break;
      size += static_cast<uint64_t>(n);
      if (size > tarn::TOTAL_SIZE_LIMIT) tarn::raise_error(tarn::ErrorCode::ARCHIVE_TOO_BIG, e.name + ": too big for an archive");
      if (!spool->file().write(buffer.data(), static_cast<size_t>(n)))
        tarn::raise_error(tarn::ErrorCode::IO_ERROR, spool->temporary() + ": " + spool->file().error());
    }
    if (!spool->file().flush()) tarn::raise_error(tarn::ErrorCode::IO_ERROR, spool->temporary() + ": " + spool->file().error());
    e.size = static_cast<uint32_t>(size);
    tarn_writer::Item& item = add_item(*writer, std::move(e));
    item.source = tarn_writer::Source::SPOOL;
    item.spool = spool.get();
    writer->spools.push_back(std::move(spool));
    return TARN_OK;
  });
}

tarn_result tarn_writer_remove(tarn_writer* writer, const char* pattern, size_t* count) {
  if (count != nullptr) *count = 0;
  if (writer == nullptr || pattern == nullptr) return fail(TARN_ERROR_ARGUMENT, "no writer or no pattern");
  const std::string p = tarn::to_stored_separators(pattern);
  size_t n = 0;
  for (tarn_writer::Item& item : writer->items) {
    if (!item.removed && tarn::wildcard_match(item.entry.name, p)) {
      item.removed = true;
      ++n;
    }
  }
  if (writer->old) {
    const auto& all = writer->old->table.entries();
    for (size_t i = 0; i < all.size(); ++i) {
      if (!writer->old_removed[i] && tarn::wildcard_match(all[i].name, p)) {
        writer->old_removed[i] = true;
        ++n;
      }
    }
  }
  if (count != nullptr) *count = n;
  return TARN_OK;
}

tarn_result tarn_writer_close(tarn_writer* writer) {
  if (writer == nullptr) return fail(TARN_ERROR_ARGUMENT, "no writer");
  std::unique_ptr<tarn_writer> w(writer);
  return guarded([&] { return close_writer(*w); });
}

void tarn_writer_abort(tarn_writer* writer) { delete writer; }

}  // extern "C"
