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

#include "archive/archive_output.h"
#include "archive/events.h"
#include "archive/format.h"
#include "files/file_list.h"
#include "files/pivot_generator.h"
#include "pipeline/coding_options.h"
#include "platform/file.h"
#include "stream/input.h"

namespace tarn {

// A group of an earlier archive that goes into the new one unchanged.
struct KeptGroup {
  std::vector<FileEntry> entries;  // as the earlier table has them
  const RandomAccessInput* source = nullptr;  // the earlier archive
};

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
  // Pieces made far ahead of the archive wait in spill files beside it
  // (in the directory of `archive_name`); without, the workers wait.
  bool spill = true;
  // The stub of a self-extracting archive.
  std::string sfx_stub = SFX_STUB_NAME;
  // Groups of an earlier archive, copied byte for byte before the entries
  // of the list (an archive being changed).
  std::vector<KeptGroup>* kept = nullptr;
};

struct CreateResult {
  uint64_t total_size = 0;
  uint64_t archive_length = 0;
};

// Writes the archive into `archive` (empty) from `list`
// and flushes it, reporting progress and statistics to `events`. Raises the
// format's errors; the caller removes what was written.
CreateResult create_archive(ArchiveOutput& archive, FileList& list, const CreateOptions& options,
                            PivotGenerator& random, DriverEvents& events);

// Whether an entry may join a solid group: -b, a packing method and a size
// of 1 to SOLID_FILE_LIMIT bytes.
bool is_solid_candidate(const FileEntry& entry, const CreateOptions& options);

// Sets the flags of key-ordered candidates: a candidate continues the
// current group while the group's total stays within SOLID_GROUP_LIMIT.
void assign_solid_groups(const std::vector<FileEntry*>& candidates);

// Copies the stub at `path` (SFX_STUB_NAME, from the current directory, for
// the command line) to the archive. A stub that holds the archive magic is
// refused (SFX_APPEND): the archive behind it could not be found.
void append_sfx_stub(ArchiveOutput& archive, const std::string& path);

// The grouping key of a solid candidate: the context-sorted move-to-front
// cost of its first ANALYSIS_SAMPLE bytes, times 10^6, truncated.
uint32_t analysis_value(const uint8_t* sample, uint32_t n);

}  // namespace tarn
