// What the drivers have to tell the user, as events.
//
// The creation and extraction drivers never print. They report what happens
// through DriverEvents, in the order a single-threaded run would see it, and
// the front ends decide what the user sees: the command line and the
// self-extractor turn the events into the program's fixed texts on standard
// output and the notes a user needs beyond them on standard error
// (cli/console_report.h). Every event does nothing by default, so a caller
// that wants silence (tests, benchmarks, fuzzers) uses DriverEvents itself.
#pragma once

#include <cstdint>
#include <string>

#include "files/file_list.h"

namespace tarn {

// Why an extraction left an entry out (the entry is still tested).
enum class SkipReason {
  IS_THE_ARCHIVE,  // its output path is the archive being read
  NAME_TOO_LONG,   // its output path (or the temporary beside it) is longer than the system allows
  LINK_ON_PATH,    // a directory of its output path is a symbolic link
};

class DriverEvents {
 public:
  virtual ~DriverEvents() = default;

  // Creation, in this order.
  virtual void duplicates_dropped() {}  // two wildcards selected one path
  virtual void analysis_started() {}    // solid candidates are measured
  virtual void packing_started(bool /*storing*/, uint64_t /*entries*/, uint64_t /*total*/) {}
  virtual void writing_header() {}
  virtual void freeing_memory() {}
  virtual void archive_created(uint64_t /*total*/, uint64_t /*archive_length*/) {}

  // Extraction and test.
  virtual void decompressing() {}
  // The entries selected and their bytes, before the first of them.
  virtual void extraction_started(uint64_t /*entries*/, uint64_t /*total*/) {}
  // A stored name that had to be changed to stay inside the output directory.
  virtual void unsafe_path(const std::string& /*name*/, const std::string& /*written_as*/) {}
  virtual void entry_skipped(const FileEntry& /*entry*/, SkipReason /*why*/) {}
  // An entry whose bytes did not match its CRC, or whose piece was damaged.
  virtual void crc_failed(const FileEntry& /*entry*/) {}
  virtual void extraction_finished(bool /*wrote_files*/, uint64_t /*processed*/, bool /*crc_failed*/) {}

  // Both: one entry at a time, in table order. `entry_progress` may come
  // often, also within a chunk (the front end decides how often to show
  // it); `entry_finished` closes what `entry_started` opened.
  virtual void entry_started(const FileEntry& /*entry*/, uint64_t /*bytes*/) {}
  virtual void entry_progress(uint64_t /*done*/) {}
  virtual void entry_finished() {}
};

}  // namespace tarn
