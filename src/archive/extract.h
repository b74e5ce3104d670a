// The extraction and test driver (commands x, e and t).
//
// The table is walked group by group. A group without a selected entry is
// never read. A single file is copied (stored) or decoded chunk by chunk; a
// solid group is read or decoded once as a whole and its selected members
// are cut out of it by their positions and sizes. Every file's bytes are
// checked against its CRC-32; mismatches (and lengths that do not add up,
// which damaged streams give) are counted into one closing message and do
// not stop the run. Nothing is written outside the output directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/events.h"
#include "files/file_list.h"
#include "files/wildcard_list.h"

namespace tarn {

// What becomes of a file that is already where an entry goes.
enum class ExistingFile {
  REPLACE,     // replaced (tarnc x)
  KEEP,        // kept; the entry is left out with a note (SkipReason::EXISTS)
  SKIP,        // kept, silently
  KEEP_NEWER,  // kept when newer than the entry (SkipReason::NEWER_EXISTS), else replaced
};

struct ExtractOptions {
  std::string output_dir = ".";  // as typed
  bool write_files = true;
  bool keep_paths = true;
  ExistingFile existing = ExistingFile::REPLACE;
  // Threads decoding files and groups side by side; the output does not
  // depend on it. The command line uses the machine's hardware threads.
  unsigned workers = 1;
};

struct ExtractResult {
  uint32_t processed = 0;
  bool crc_failed = false;
};

// Reports the progress and the summary to `events`.
ExtractResult extract_archive(ArchiveReader& archive, const FileList& entries, const WildcardList& wildcards,
                              const ExtractOptions& options, DriverEvents& events);
// The same for the entries whose `selected` flag is set (one per entry).
ExtractResult extract_archive(ArchiveReader& archive, const FileList& entries, const std::vector<bool>& selected,
                              const ExtractOptions& options, DriverEvents& events);

}  // namespace tarn
