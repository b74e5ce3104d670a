// tarn32.sfx: the self-extractor stub.
//
// A self-extracting archive is this program with an archive appended to it.
// When run, it opens its own executable, finds the archive header behind
// itself by the same magic search every reader uses (the stub holds no copy
// of the magic, so the first occurrence is the archive's), reads the file
// table and extracts every entry with its path into the current directory,
// exactly as "tarnc x archive *" does: same progress lines, CRC checks,
// metadata and path safety, and the same fatal path.
#include <cstdio>
#include <string>

#include "archive/archive_reader.h"
#include "archive/extract.h"
#include "cli/console_report.h"
#include "cli/guarded_run.h"
#include "cli/screens.h"
#include "common/version.h"
#include "files/file_list.h"
#include "files/wildcard_list.h"
#include "platform/cleanup.h"
#include "platform/filesystem.h"
#include "platform/memory.h"

namespace {

// The name the stub was run under, for its notes on standard error.
std::string program_name(const char* argv0) {
  std::string name = argv0 != nullptr ? argv0 : "";
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  return name.empty() ? "tarn32.sfx" : name;
}

}  // namespace

int main(int /*argc*/, char** argv) {
  const std::string program = program_name(argv[0]);
  std::fputs(tarn::SFX_BANNER, stdout);
  tarn::platform::remove_temporaries_on_signals();
  tarn::platform::return_large_blocks_when_freed();
  tarn::ConsoleReport report(program);
  return tarn::run_guarded(
      [&] {
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
        tarn::extract_archive(archive, entries, wildcards, options, report);
        archive.close();
        tarn::print_elapsed_seconds(tarn::platform::clock_milliseconds() - start);
        return 0;
      },
      [&](const tarn::TarnError& error) { tarn::print_fatal(program, error); });
}
