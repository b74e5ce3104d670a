// The extracting calls of the C interface: entries to the caller's
// function, a descriptor, memory, or a directory.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "api/api_support.h"
#include "api/reader.h"
#include "platform/filesystem.h"

using tarn::api::fail;
using tarn::api::guarded;

namespace {

// Writes the selected entries' bytes one after the other, in table order,
// entry stream by entry stream; a damaged entry is reported and the next
// one follows.
tarn_result write_entries(tarn_reader& reader, const size_t* indices, size_t count,
                          const std::function<void(const uint8_t*, size_t)>& write, tarn_summary* summary) {
  tarn_summary local{};
  tarn_summary& out = summary != nullptr ? *summary : local;
  out = tarn_summary{};
  const std::vector<bool> selected = tarn::api::selection(reader, indices, count);
  const auto& all = reader.table.entries();
  uint64_t total = 0;
  for (size_t i = 0; i < all.size(); ++i)
    if (selected[i] && !all[i].is_directory()) total += all[i].size;
  out.bytes = total;
  uint64_t done = 0;
  std::string first_damaged;
  std::vector<uint8_t> buffer(1 << 16);
  for (size_t i = 0; i < all.size(); ++i) {
    if (!selected[i]) continue;
    const tarn::FileEntry& e = all[i];
    ++out.entries;
    const auto index = static_cast<int64_t>(i);
    reader.events.send(TARN_EVENT_ENTRY_START, index, &e.name, 0, e.is_directory() ? 0 : e.size);
    tarn_entry_stream* opened = nullptr;
    tarn_result r = tarn_entry_open(&reader, i, &opened);
    // Closed however the loop ends: a caller's function may stop it.
    const std::unique_ptr<tarn_entry_stream, void (*)(tarn_entry_stream*)> stream(opened, tarn_entry_close);
    while (r == TARN_OK) {
      size_t got = 0;
      r = tarn_entry_read(stream.get(), buffer.data(), buffer.size(), &got);
      if (got == 0) break;
      write(buffer.data(), got);
      done += got;
      reader.events.send(TARN_EVENT_PROGRESS, index, &e.name, done, total);
    }
    if (r == TARN_ERROR_DAMAGED_ENTRY) {
      if (out.damaged == 0) first_damaged = e.name;
      ++out.damaged;
      reader.events.send(TARN_EVENT_CRC_ERROR, index, &e.name, done, total, r);
    } else if (r != TARN_OK) {
      return r;  // the reason is set already
    }
    reader.events.send(TARN_EVENT_ENTRY_DONE, index, &e.name, done, total, r);
  }
  if (out.damaged > 0) return fail(TARN_ERROR_DAMAGED_ENTRY, tarn::api::damage_text(first_damaged, out.damaged));
  return TARN_OK;
}

}  // namespace

extern "C" {

tarn_result tarn_extract_to_callback(tarn_reader* reader, const size_t* indices, size_t count, tarn_write_fn write,
                                     void* opaque, tarn_summary* summary) {
  if (reader == nullptr || write == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader or no write function");
  return guarded([&] {
    return write_entries(
        *reader, indices, count,
        [&](const uint8_t* data, size_t size) {
          if (write(opaque, data, size) != 0) throw tarn::api::CallerStopped{};
        },
        summary);
  });
}

tarn_result tarn_extract_to_fd(tarn_reader* reader, const size_t* indices, size_t count, int fd,
                               tarn_summary* summary) {
  if (reader == nullptr || fd < 0) return fail(TARN_ERROR_ARGUMENT, "no reader or no descriptor");
  return guarded([&] {
    return write_entries(
        *reader, indices, count,
        [&](const uint8_t* data, size_t size) {
          std::string error;
          if (!tarn::platform::write_descriptor(fd, data, size, error))
            tarn::raise_error(tarn::ErrorCode::IO_ERROR, "output: " + error);
        },
        summary);
  });
}

tarn_result tarn_extract_to_memory(tarn_reader* reader, size_t index, void** data, size_t* size) {
  if (reader == nullptr || data == nullptr || size == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader or no place");
  *data = nullptr;
  *size = 0;
  if (index >= reader->table.count()) return fail(TARN_ERROR_ARGUMENT, "an entry index out of range");
  std::vector<uint8_t> bytes;
  const tarn_result r = guarded([&] {
    return write_entries(*reader, &index, 1,
                         [&](const uint8_t* d, size_t n) { bytes.insert(bytes.end(), d, d + n); }, nullptr);
  });
  if (r != TARN_OK && r != TARN_ERROR_DAMAGED_ENTRY) return r;
  void* out = std::malloc(bytes.empty() ? 1 : bytes.size());
  if (out == nullptr) return fail(TARN_ERROR_NO_MEMORY, "out of memory");
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  *data = out;
  *size = bytes.size();
  return r;
}

void tarn_extract_options_init(tarn_extract_options* options) {
  if (options == nullptr) return;
  *options = tarn_extract_options{};
  options->overwrite = TARN_OVERWRITE_NEVER;
}

tarn_result tarn_extract_to_directory(tarn_reader* reader, const size_t* indices, size_t count, const char* directory,
                                      const tarn_extract_options* options, tarn_summary* summary) {
  if (reader == nullptr || directory == nullptr) return fail(TARN_ERROR_ARGUMENT, "no reader or no directory");
  tarn_extract_options defaults;
  tarn_extract_options_init(&defaults);
  const tarn_extract_options& o = options != nullptr ? *options : defaults;
  if (o.overwrite < TARN_OVERWRITE_NEVER || o.overwrite > TARN_OVERWRITE_KEEP_NEWER)
    return fail(TARN_ERROR_ARGUMENT, "unknown overwrite rule");
  return guarded([&] {
    tarn::ExtractOptions extract;
    extract.output_dir = directory;
    extract.keep_paths = o.flat == 0;
    return tarn::api::run_extraction(*reader, tarn::api::selection(*reader, indices, count), extract, summary);
  });
}

}  // extern "C"
