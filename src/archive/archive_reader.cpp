// The magic search and its exact end rule: with L the file length capped at
// MAGIC_SEARCH_LIMIT, bytes are read one at a time and counted; the search
// fails as soon as the count reaches L, even when that byte completed the
// magic, and succeeds when the last four bytes read are the magic. Fewer
// than 22 of the L bytes left after the magic is no archive either.
#include "archive/archive_reader.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/error.h"
#include "platform/filesystem.h"

namespace tarn {

bool has_extension(const std::string& name, const char* extension) {
  if (name.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>(name[name.size() - 4 + i]);
    if (std::toupper(c) != static_cast<unsigned char>(extension[i])) return false;
  }
  return true;
}

void ArchiveReader::open_archive_for_reading(const std::string& name) {
  std::string opened = name;
  if (!file_.open_read(opened, ARCHIVE_BUFFER_SIZE)) {
    if (!has_extension(name, ".TRN")) opened = name + ".trn";
    if (!file_.open_read(opened, ARCHIVE_BUFFER_SIZE))
      raise_error(ErrorCode::CANNOT_OPEN_ARCHIVE, opened + ": " + file_.error());
  }
  archive_name_ = opened;
  find_header();
}

std::string ArchiveReader::read_failure() const {
  return file_.error().empty() ? "the file ends before its table does" : file_.error();
}

void ArchiveReader::find_header() {
  const uint64_t file_length = file_.length();
  const uint64_t limit = file_length < MAGIC_SEARCH_LIMIT ? file_length : MAGIC_SEARCH_LIMIT;
  uint32_t last4 = 0;
  const uint32_t magic = load_be32(archive_magic().data());  // as last4 holds it: the first byte highest
  uint64_t count = 0;
  for (;;) {
    const int c = file_.get_byte();
    if (c < 0) raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + read_failure());
    ++count;
    last4 = last4 << 8 | static_cast<uint32_t>(c);
    if (count == limit) raise_error(ErrorCode::NOT_AN_ARCHIVE);
    if (count >= 4 && last4 == magic) break;
  }
  if (limit - count < MIN_BYTES_AFTER_MAGIC) raise_error(ErrorCode::NOT_AN_ARCHIVE);
  header_position_ = count - 4;
  uint8_t bytes[HEADER_SIZE];
  if (!file_.seek(header_position_) || !file_.read_exact(bytes, HEADER_SIZE))
    raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + read_failure());
  if (!decode_header(bytes, header_)) raise_error(ErrorCode::NOT_AN_ARCHIVE);
  if (header_.version != ARCHIVE_VERSION) raise_error(ErrorCode::OTHER_VERSION);
}

void ArchiveReader::read_file_table(FileList& list) {
  list.clear();
  const uint64_t crc_position = header_position_ + HEADER_SIZE + header_.data_length;
  uint8_t stored_crc[4];
  if (!file_.seek(crc_position) || !file_.read_exact(stored_crc, 4))
    raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + read_failure());
  Crc32 crc;
  crc.begin();
  uint8_t fixed[RECORD_FIXED_SIZE];
  for (uint32_t i = 0; i < header_.entry_count; ++i) {
    if (!file_.read_exact(fixed, RECORD_FIXED_SIZE))
      raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + read_failure());
    FileEntry entry;
    uint16_t name_length = 0;
    if (!decode_record_fixed(fixed, entry, name_length)) raise_error(ErrorCode::HEADER_DAMAGE);
    crc.update(fixed, RECORD_FIXED_SIZE);
    std::string name(name_length, '\0');
    if (!file_.read_exact(name.data(), name_length))
      raise_error(ErrorCode::IO_ERROR, archive_name_ + ": " + read_failure());
    crc.update(reinterpret_cast<const uint8_t*>(name.data()), name_length);
    // A name holding a NUL would be cut short when used as a path.
    if (name_length == 0 || name.find('\0') != std::string::npos) raise_error(ErrorCode::HEADER_DAMAGE);
    entry.name = std::move(name);
    list.push_back(std::move(entry));
  }
  if (crc.value() != load_le32(stored_crc)) raise_error(ErrorCode::HEADER_DAMAGE);
}

}  // namespace tarn
