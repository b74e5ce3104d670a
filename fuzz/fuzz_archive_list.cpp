// Opening an archive in memory and listing it: the header search, the file
// table with its records and names, every entry's fields through the C
// interface, and the listing and information screens.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "archive/archive_reader.h"
#include "cli/screens.h"
#include "common/error.h"
#include "files/file_list.h"
#include "fuzz_support.h"
#include "stream/file_input.h"
#include "tarn/tarn.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarn::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn_reader* reader = nullptr;
  if (tarn_reader_open_memory(&reader, data, size) == TARN_OK) {
    tarn_archive_info info;
    if (tarn_reader_info(reader, &info) != TARN_OK) __builtin_trap();
    for (size_t i = 0; i < tarn_reader_entry_count(reader); ++i) {
      tarn_entry entry;
      if (tarn_reader_entry(reader, i, &entry) != TARN_OK || entry.name == nullptr || entry.path == nullptr)
        __builtin_trap();
    }
    tarn_reader_close(reader);
  }
  try {
    tarn::ArchiveReader archive;
    archive.open_input(std::make_unique<tarn::MemoryInput>(data, size));
    tarn::print_archive_info(archive);
    tarn::FileList entries;
    archive.read_file_table(entries);
    tarn::print_listing(entries);
  } catch (const tarn::TarnError&) {
  }
  return 0;
}
