// One selected file or directory, and the list of them.
//
// The same record serves creation (filled by file selection, completed by
// the creation driver) and reading (filled from the file table). The list
// keeps the format's order semantics: selection links new entries in at the
// head, so the list runs in reverse order of discovery; the table reader
// appends at the tail, so the list runs in table order.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "common/format_constants.h"

namespace tarn {

struct FileEntry {
  std::string name;  // stored form: backslash-separated
  uint32_t size = 0;
  uint16_t dos_date = 0;
  uint16_t dos_time = 0;
  uint32_t attributes = 0;
  uint32_t crc = 0;  // while solid groups are formed: the grouping key
  uint32_t packed_size = 0;
  uint32_t offset = 0;
  uint8_t flags = 0;

  bool is_directory() const { return (attributes & ATTR_DIRECTORY) != 0; }
};

class FileList {
 public:
  void clear() { entries_.clear(); }
  FileEntry& push_front(FileEntry entry) { return entries_.emplace_front(std::move(entry)); }
  FileEntry& push_back(FileEntry entry) { return entries_.emplace_back(std::move(entry)); }
  size_t count() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // Entries from the head; references stay valid while entries are added.
  std::deque<FileEntry>& entries() { return entries_; }
  const std::deque<FileEntry>& entries() const { return entries_; }

 private:
  std::deque<FileEntry> entries_;
};

}  // namespace tarn
