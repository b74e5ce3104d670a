#include "cli/console_report.h"

#include <cstdio>

#include "cli/display_name.h"

namespace tarn {

void ConsoleReport::duplicates_dropped() { std::fputs("\nWARNING: scopes of different wildcards intersect!", stdout); }

void ConsoleReport::analysis_started() {
  std::fputs("\nAnalysis...", stdout);
  std::fflush(stdout);
}

void ConsoleReport::packing_started(bool storing, uint64_t entries, uint64_t total) {
  display_.run_started(entries, total);
  std::printf("\n%s %ld file(s) totaling %ld bytes...\n", storing ? "Storing" : "Compressing",
              static_cast<long>(entries), static_cast<long>(total));
}

void ConsoleReport::writing_header() {
  std::printf("\rWriting header...%58s", "");
  std::fflush(stdout);
}

void ConsoleReport::freeing_memory() { std::fputs("\nFreeing memory...", stdout); }

void ConsoleReport::archive_created(uint64_t total, uint64_t archive_length) {
  // No entry bytes at all gives an infinite figure, printed as such.
  const double bpb = static_cast<double>(archive_length) * 8.0 / static_cast<double>(total);
  std::printf("\nCompressed %ld -> %ld (%.7f bpb) in ", static_cast<long>(total), static_cast<long>(archive_length),
              bpb);
}

void ConsoleReport::decompressing() { std::fputs("Decompressing...\n", stdout); }

void ConsoleReport::extraction_started(uint64_t entries, uint64_t total) { display_.run_started(entries, total); }

void ConsoleReport::unsafe_path(const std::string& name, const std::string& written_as) {
  std::printf("\nWARNING: unsafe path \"%s\" written as \"%s\"", printable_name(name).c_str(),
              printable_name(written_as).c_str());
}

void ConsoleReport::entry_skipped(const FileEntry& entry, SkipReason why) {
  const char* reason = why == SkipReason::IS_THE_ARCHIVE ? "it is the archive being read"
                       : why == SkipReason::LINK_ON_PATH ? "a link is on its path, which is never followed"
                                                          : "its name is too long";
  note("skipped " + printable_name(entry.name) + ": " + reason);
}

void ConsoleReport::crc_failed(const FileEntry& entry) { note("CRC error: " + printable_name(entry.name)); }

void ConsoleReport::extraction_finished(bool wrote_files, uint64_t processed, bool crc_failed) {
  if (crc_failed) std::fputs("\nSeveral CRC errors detected.", stdout);
  std::printf("\n%s %ld file(s) in ", wrote_files ? "Decompressed" : "Tested", static_cast<long>(processed));
}

void ConsoleReport::entry_started(const FileEntry& entry, uint64_t bytes) {
  display_.erase();
  std::printf("\r -> %s ", format_display_name(entry.name, 50).c_str());
  std::fflush(stdout);
  display_.entry_started(bytes, entry.is_directory() ? 0 : entry.size);
}

void ConsoleReport::entry_progress(uint64_t done) { display_.advance(done); }

void ConsoleReport::entry_finished() { display_.entry_finished(); }

void ConsoleReport::note(const std::string& text) const {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", program_.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace tarn
