// Opening an archive and listing it: the header search, the file table with
// its records and names, and the listing and information screens.
#include <cstddef>
#include <cstdint>

#include "archive/archive_reader.h"
#include "cli/screens.h"
#include "common/error.h"
#include "files/file_list.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarn::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tarn::fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  try {
    tarn::ArchiveReader archive;
    archive.open_archive_for_reading(path);
    tarn::print_archive_info(archive);
    tarn::FileList entries;
    archive.read_file_table(entries);
    tarn::print_listing(entries);
  } catch (const tarn::TarnError&) {
  }
  return 0;
}
