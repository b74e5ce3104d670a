// Opening an archive for reading and reading its file table.
//
// The header is found by searching for its magic byte by byte within the
// first MAGIC_SEARCH_LIMIT bytes, so a self-extracting archive (a stub in
// front) is read like a plain one; the first occurrence wins. The table is
// read record by record, each checked before its fields are used, and its
// CRC-32 compared with the stored one.
#pragma once

#include <cstdint>
#include <string>

#include "archive/crc32.h"
#include "archive/format.h"
#include "files/file_list.h"
#include "platform/file.h"

namespace tarn {

class ArchiveReader {
 public:
  // Opens `name` as typed, or with ".trn" appended; finds and checks the
  // header. Raises CANNOT_OPEN_ARCHIVE, IO_ERROR, NOT_AN_ARCHIVE or
  // OTHER_VERSION.
  void open_archive_for_reading(const std::string& name);
  // Reads every record into `list` in table order. Raises IO_ERROR or
  // HEADER_DAMAGE.
  void read_file_table(FileList& list);

  const ArchiveHeader& header() const { return header_; }
  uint64_t header_position() const { return header_position_; }
  const std::string& archive_name() const { return archive_name_; }
  uint64_t length() { return file_.length(); }
  platform::File& file() { return file_; }
  void close() { file_.close(); }

 private:
  void find_header();
  // Why a read of the archive failed, for the user.
  std::string read_failure() const;

  platform::File file_;
  std::string archive_name_;
  ArchiveHeader header_;
  uint64_t header_position_ = 0;
};

// True when the last four characters, in upper case, are `extension`.
bool has_extension(const std::string& name, const char* extension);

}  // namespace tarn
