// The creation driver: from the selected file list to a finished archive.
//
// Order of work: stub (self-extracting archives), name sort and duplicate
// removal, the split into solid candidates (with -b: files of 1 to
// SOLID_FILE_LIMIT bytes, ordered by an analysis key so that similar files
// share groups) and plain entries, the data area (solid groups first, then
// the other entries in descending name order), the table, its CRC and the
// header. A file or group whose packed piece is not at least STORE_MARGIN
// bytes shorter than its raw bytes is stored raw and marked FLAG_STORED.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/events.h"
#include "files/file_list.h"
#include "files/pivot_generator.h"
#include "pipeline/coding_options.h"
#include "platform/file.h"
#include "stream/input.h"

namespace tarn {

struct CreateOptions {
  CodingOptions coding;  // method and allowed filters
  bool self_extracting = false;
  bool solid_blocks = false;
  std::string archive_name;  // as the user named it, for messages
  // Threads packing files and groups side by side; the archive does not
  // depend on it. The command line uses the machine's hardware threads.
  unsigned workers = 1;
  // Opens an entry's bytes for reading (from any thread); when not set,
  // the file of the entry's name is read.
  std::function<std::unique_ptr<SequentialInput>(const FileEntry&)> open_input;
};

struct CreateResult {
  uint64_t total_size = 0;
  uint64_t archive_length = 0;
};

// Writes the archive into `archive` (open for writing, empty) from `list`
// and flushes it, reporting progress and statistics to `events`. Raises the
// format's errors; the caller removes what was written.
CreateResult create_archive(platform::File& archive, FileList& list, const CreateOptions& options,
                            PivotGenerator& random, DriverEvents& events);

// Whether an entry may join a solid group: -b, a packing method and a size
// of 1 to SOLID_FILE_LIMIT bytes.
bool is_solid_candidate(const FileEntry& entry, const CreateOptions& options);

// Sets the flags of key-ordered candidates: a candidate continues the
// current group while the group's total stays within SOLID_GROUP_LIMIT.
void assign_solid_groups(const std::vector<FileEntry*>& candidates);

// Copies SFX_STUB_NAME from the current directory to the archive.
void append_sfx_stub(platform::File& archive);

// The grouping key of a solid candidate: the context-sorted move-to-front
// cost of its first ANALYSIS_SAMPLE bytes, times 10^6, truncated.
uint32_t analysis_value(const uint8_t* sample, uint32_t n);

}  // namespace tarn
