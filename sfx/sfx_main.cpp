// tarn32.sfx: the self-extractor stub.
//
// A self-extracting archive is this program with an archive appended to it.
// When run, it opens its own executable, finds the archive header behind
// itself by the same magic search every reader uses (the stub holds no copy
// of the magic, so the first occurrence is the archive's), reads the file
// table and extracts every entry with its path into the current directory,
// exactly as "tarnc x archive *" does: same progress lines, CRC checks,
// metadata and path safety. Failures print "\nFATAL: <message>\n\n" and end
// with status 1.
#include <cstdio>
#include <new>

#include "archive/archive_reader.h"
#include "archive/extract.h"
#include "archive/wildcard_list.h"
#include "common/error.h"
#include "common/version.h"
#include "files/file_list.h"
#include "platform/filesystem.h"

namespace {

int run_stub() {
  std::fputs(tarn::SFX_BANNER, stdout);
  try {
    const int64_t start = tarn::platform::clock_milliseconds();
    std::fputs("Initializing...\n", stdout);
    tarn::ArchiveReader archive;
    archive.open_archive_for_reading(tarn::platform::own_executable_path());
    tarn::WildcardList wildcards;
    wildcards.add_extract_wildcard("*");
    std::fputs("Reading file list...\n", stdout);
    tarn::FileList entries;
    archive.read_file_table(entries);
    tarn::ExtractOptions options;  // with paths, into the current directory
    tarn::extract_archive(archive, entries, wildcards, options);
    archive.close();
    const auto ms = static_cast<float>(tarn::platform::clock_milliseconds() - start);
    std::printf("%.5f seconds.\n", static_cast<double>(ms * 0.001f));
  } catch (const tarn::TarnError& error) {
    std::printf("\nFATAL: %s\n\n", tarn::error_message(error.code()));
    return 1;
  } catch (const std::bad_alloc&) {
    std::printf("\nFATAL: %s\n\n", tarn::error_message(tarn::ErrorCode::OUT_OF_MEMORY));
    return 1;
  }
  return 0;
}

}  // namespace

int main() { return run_stub(); }
