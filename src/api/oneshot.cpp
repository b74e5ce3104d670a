// One buffer packed into a one-entry archive in memory, and back.
#include <cstdlib>
#include <cstring>

#include "api/api_support.h"
#include "api/reader.h"
#include "archive/archive_output.h"
#include "archive/create.h"
#include "files/pivot_generator.h"
#include "stream/file_input.h"

using tarn::api::fail;
using tarn::api::guarded;

namespace {

// The one entry's name and time: fixed, so that the same bytes always make
// the same archive.
constexpr const char* ENTRY_NAME = "data";

}  // namespace

extern "C" {

tarn_result tarn_compress(const void* data, size_t size, int method, void** out, size_t* out_size) {
  if ((data == nullptr && size > 0) || out == nullptr || out_size == nullptr)
    return fail(TARN_ERROR_ARGUMENT, "no data or no place for the archive");
  *out = nullptr;
  *out_size = 0;
  if (method < TARN_METHOD_STORE || method > TARN_METHOD_EXTREME) return fail(TARN_ERROR_ARGUMENT, "unknown method");
  if (size > tarn::TOTAL_SIZE_LIMIT) return fail(TARN_ERROR_TOO_BIG, "too big for an archive");
  return guarded([&] {
    tarn::FileList list;
    tarn::FileEntry& e = list.push_front(tarn::FileEntry{});
    e.name = ENTRY_NAME;
    e.size = static_cast<uint32_t>(size);
    e.attributes = tarn::ATTR_ARCHIVE;
    e.dos_date = 0x0021;  // 1980-01-01 00:00:00
    e.dos_time = 0;
    tarn::CreateOptions options;
    options.coding.method = static_cast<uint8_t>(method);
    options.archive_name = "(memory)";
    options.workers = tarn::api::worker_count(0);
    options.spill = false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    options.open_input = [&](const tarn::FileEntry& entry) -> std::unique_ptr<tarn::SequentialInput> {
      return std::make_unique<tarn::MemoryMemberInput>(bytes, size, entry.name);
    };
    tarn::MemoryArchiveOutput output;
    tarn::PivotGenerator random;
    tarn::DriverEvents silent;
    tarn::create_archive(output, list, options, random, silent);
    const std::vector<uint8_t>& archive = output.bytes();
    void* copy = std::malloc(archive.size());
    if (copy == nullptr) return fail(TARN_ERROR_NO_MEMORY, "out of memory");
    std::memcpy(copy, archive.data(), archive.size());
    *out = copy;
    *out_size = archive.size();
    return TARN_OK;
  });
}

tarn_result tarn_decompress(const void* data, size_t size, void** out, size_t* out_size) {
  if (data == nullptr || out == nullptr || out_size == nullptr) return fail(TARN_ERROR_ARGUMENT, "no data or no place");
  *out = nullptr;
  *out_size = 0;
  tarn_reader* reader = nullptr;
  tarn_result r = tarn_reader_open_memory(&reader, data, size);
  if (r != TARN_OK) return r;
  if (tarn_reader_entry_count(reader) != 1) {
    tarn_reader_close(reader);
    return fail(TARN_ERROR_ARGUMENT, "not an archive of one entry");
  }
  r = tarn_extract_to_memory(reader, 0, out, out_size);
  tarn_reader_close(reader);
  return r;
}

}  // extern "C"
