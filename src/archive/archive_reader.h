// Opening an archive for reading and reading its file table.
//
// The header is found by searching for its magic byte by byte within the
// first MAGIC_SEARCH_LIMIT bytes, so a self-extracting archive (a stub in
// front) is read like a plain one; the first occurrence wins. The table is
// read record by record, each checked before its fields are used, and its
// CRC-32 compared with the stored one.
//
// The archive is opened once: the table and every piece are read through
// that one input, by position, so what is read is the file that was opened
// even when another file takes its name meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/crc32.h"
#include "archive/format.h"
#include "files/file_list.h"
#include "platform/file.h"
#include "stream/input.h"

namespace tarn {

class ArchiveReader {
 public:
  // Opens `name` as typed, or with ".trn" appended; finds and checks the
  // header. Raises CANNOT_OPEN_ARCHIVE, IO_ERROR, NOT_AN_ARCHIVE or
  // OTHER_VERSION.
  void open_archive_for_reading(const std::string& name);
  // The same over an input the caller has opened (memory, callbacks).
  void open_input(std::unique_ptr<RandomAccessInput> input);
  // Reads every record into `list` in table order. Raises IO_ERROR or
  // HEADER_DAMAGE.
  void read_file_table(FileList& list);

  const ArchiveHeader& header() const { return header_; }
  uint64_t header_position() const { return header_position_; }
  const std::string& archive_name() const { return archive_name_; }
  uint64_t length() const { return input_->length(); }
  // The one input every reader of the archive reads through.
  const RandomAccessInput& input() const { return *input_; }
  // Which file the archive is, when it is one.
  bool identity(platform::FileId& id) const;
  void close() { input_.reset(); }

 private:
  void find_header();

  std::unique_ptr<RandomAccessInput> input_;
  std::string archive_name_;
  ArchiveHeader header_;
  uint64_t header_position_ = 0;
  bool has_identity_ = false;
  platform::FileId identity_;
};

// True when the last four characters, in upper case, are `extension`.
bool has_extension(const std::string& name, const char* extension);

}  // namespace tarn
