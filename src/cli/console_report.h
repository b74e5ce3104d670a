// The drivers' events as the user sees them on a console.
//
// Standard output carries the program's fixed texts, byte for byte: the
// progress line " -> name " of each entry (with percentages behind it on a
// terminal: cli/progress.h), warnings, the statistics and summary lines.
// What a user needs beyond them goes to standard error, one line each,
// prefixed with the program's name: the entries whose CRC failed or that
// were skipped; when creating, the files left out and why, a wildcard that
// reached no file, a file that grew while it was packed. Names are printed
// with control characters shown as "?" (cli/display_name.h).
#pragma once

#include <cstdint>
#include <string>

#include "archive/events.h"
#include "cli/progress.h"
#include "files/selection.h"

namespace tarn {

class ConsoleReport : public DriverEvents, public SelectionEvents {
 public:
  // `program` prefixes the notes on standard error ("tarnc: ...").
  explicit ConsoleReport(std::string program) : program_(std::move(program)) {}

  void duplicates_dropped() override;
  void analysis_started() override;
  void packing_started(bool storing, uint64_t entries, uint64_t total) override;
  void writing_header() override;
  void freeing_memory() override;
  void archive_created(uint64_t total, uint64_t archive_length) override;
  void file_grew(const FileEntry& entry) override;
  void left_out(const std::string& name, LeftOutReason why, const std::string& reason) override;

  void decompressing() override;
  void extraction_started(uint64_t entries, uint64_t total) override;
  void unsafe_path(const std::string& name, const std::string& written_as) override;
  void entry_skipped(const FileEntry& entry, SkipReason why) override;
  void crc_failed(const FileEntry& entry) override;
  void extraction_finished(bool wrote_files, uint64_t processed, bool crc_failed) override;

  void entry_started(const FileEntry& entry, uint64_t bytes) override;
  void entry_progress(uint64_t done) override;
  void entry_finished() override;

  // A note on standard error: "<program>: <text>", the text (names and
  // all) through printable_name, so that it stays one line.
  void note(const std::string& text) const;

 private:
  std::string program_;
  ProgressDisplay display_;
};

}  // namespace tarn
