// Testing a whole archive (command t): table, groups, stored copies, chunk
// streams of every method and the CRC checks, writing nothing.
#include <cstddef>
#include <cstdint>

#include "archive/archive_reader.h"
#include "archive/extract.h"
#include "files/wildcard_list.h"
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
    tarn::FileList entries;
    archive.read_file_table(entries);
    tarn::WildcardList wildcards;
    wildcards.add_extract_wildcard("*");
    tarn::ExtractOptions options;
    options.write_files = false;
    tarn::DriverEvents silent;
    tarn::extract_archive(archive, entries, wildcards, options, silent);
  } catch (const tarn::TarnError&) {
  }
  return 0;
}
