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
#include "stream/file_input.h"

namespace tarn {

namespace {

constexpr const char* ENDS_EARLY = "the file ends before its table does";

// Reads the archive forward from a position, a buffer at a time, through
// its positioned reads.
class ForwardReader {
 public:
  ForwardReader(const RandomAccessInput& input, uint64_t position) : input_(input), position_(position) {}
  // One byte, or -1 at the end.
  int get() {
    if (at_ == held_ && !refill()) return -1;
    return buffer_[at_++];
  }
  // Exactly `count` bytes, or raises IO_ERROR: the archive ends early.
  void read_exact(void* data, size_t count) {
    auto* out = static_cast<uint8_t*>(data);
    while (count > 0) {
      if (at_ == held_ && !refill()) throw TarnError(ErrorCode::IO_ERROR, input_.name() + ": " + ENDS_EARLY, ErrorCause::ENDS_EARLY);
      const size_t n = held_ - at_ < count ? held_ - at_ : count;
      std::memcpy(out, buffer_.data() + at_, n);
      at_ += n;
      out += n;
      count -= n;
    }
  }

 private:
  bool refill() {
    held_ = input_.read_at(position_, buffer_.data(), buffer_.size());
    position_ += held_;
    at_ = 0;
    return held_ > 0;
  }

  const RandomAccessInput& input_;
  uint64_t position_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(ARCHIVE_BUFFER_SIZE);
  size_t at_ = 0;
  size_t held_ = 0;
};

}  // namespace

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
  platform::File file;
  if (!file.open_read(opened)) {
    if (!has_extension(name, ".TRN")) opened = name + ".trn";
    if (!file.open_read(opened)) raise_error(ErrorCode::CANNOT_OPEN_ARCHIVE, opened + ": " + file.error());
  }
  has_identity_ = file.identity(identity_);
  open_input(std::make_unique<FileArchiveInput>(std::move(file), opened));
}

void ArchiveReader::open_input(std::unique_ptr<RandomAccessInput> input) {
  input_ = std::move(input);
  archive_name_ = input_->name();
  find_header();
}

bool ArchiveReader::identity(platform::FileId& id) const {
  if (has_identity_) id = identity_;
  return has_identity_;
}

void ArchiveReader::find_header() {
  const uint64_t file_length = input_->length();
  const uint64_t limit = file_length < MAGIC_SEARCH_LIMIT ? file_length : MAGIC_SEARCH_LIMIT;
  uint32_t last4 = 0;
  const uint32_t magic = load_be32(archive_magic().data());  // as last4 holds it: the first byte highest
  uint64_t count = 0;
  ForwardReader reader(*input_, 0);
  for (;;) {
    const int c = reader.get();
    if (c < 0) throw TarnError(ErrorCode::IO_ERROR, archive_name_ + ": " + ENDS_EARLY, ErrorCause::ENDS_EARLY);
    ++count;
    last4 = last4 << 8 | static_cast<uint32_t>(c);
    if (count == limit) raise_error(ErrorCode::NOT_AN_ARCHIVE);
    if (count >= 4 && last4 == magic) break;
  }
  if (limit - count < MIN_BYTES_AFTER_MAGIC) raise_error(ErrorCode::NOT_AN_ARCHIVE);
  header_position_ = count - 4;
  uint8_t bytes[HEADER_SIZE];
  ForwardReader(*input_, header_position_).read_exact(bytes, HEADER_SIZE);
  if (!decode_header(bytes, header_)) raise_error(ErrorCode::NOT_AN_ARCHIVE);
  if (header_.version != ARCHIVE_VERSION) raise_error(ErrorCode::OTHER_VERSION);
}

void ArchiveReader::read_file_table(FileList& list) {
  list.clear();
  const uint64_t crc_position = header_position_ + HEADER_SIZE + header_.data_length;
  ForwardReader reader(*input_, crc_position);
  uint8_t stored_crc[4];
  reader.read_exact(stored_crc, 4);
  Crc32 crc;
  crc.begin();
  uint8_t fixed[RECORD_FIXED_SIZE];
  for (uint32_t i = 0; i < header_.entry_count; ++i) {
    reader.read_exact(fixed, RECORD_FIXED_SIZE);
    FileEntry entry;
    uint16_t name_length = 0;
    if (!decode_record_fixed(fixed, entry, name_length)) raise_error(ErrorCode::HEADER_DAMAGE);
    crc.update(fixed, RECORD_FIXED_SIZE);
    std::string name(name_length, '\0');
    reader.read_exact(name.data(), name_length);
    crc.update(reinterpret_cast<const uint8_t*>(name.data()), name_length);
    // A name holding a NUL would be cut short when used as a path.
    if (name_length == 0 || name.find('\0') != std::string::npos) raise_error(ErrorCode::HEADER_DAMAGE);
    entry.name = std::move(name);
    list.push_back(std::move(entry));
  }
  if (crc.value() != load_le32(stored_crc)) raise_error(ErrorCode::HEADER_DAMAGE);
}

}  // namespace tarn
