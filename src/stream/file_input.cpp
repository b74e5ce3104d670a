#include "stream/file_input.h"

#include <cstring>
#include <utility>

#include "common/error.h"

namespace tarn {

void SequentialInput::read_exact(void* data, size_t count) {
  if (read(data, count) != count)
    raise_error(ErrorCode::IO_ERROR, name() + ": shorter than when it was selected, so nothing was stored");
}

bool SequentialInput::holds_more() {
  uint8_t byte = 0;
  return read(&byte, 1) == 1;
}

FileArchiveInput::FileArchiveInput(platform::File file, std::string name)
    : file_(std::move(file)), name_(std::move(name)), length_(file_.length()) {}

size_t FileArchiveInput::read_at(uint64_t position, void* data, size_t count) const {
  size_t got = 0;
  std::string error;
  if (!file_.read_at(position, data, count, got, error)) raise_error(ErrorCode::IO_ERROR, name_ + ": " + error);
  return got;
}

size_t MemoryInput::read_at(uint64_t position, void* data, size_t count) const {
  if (position >= size_) return 0;
  const size_t left = size_ - static_cast<size_t>(position);
  const size_t n = count < left ? count : left;
  std::memcpy(data, data_ + position, n);
  return n;
}

FileMemberInput::FileMemberInput(const std::string& path, size_t buffer_size) : path_(path) {
  if (!file_.open_read(path, buffer_size)) raise_error(ErrorCode::IO_ERROR, path + ": " + file_.error());
}

size_t FileMemberInput::read(void* data, size_t count) {
  const size_t got = file_.read(data, count);
  if (got < count && !file_.error().empty()) raise_error(ErrorCode::IO_ERROR, path_ + ": " + file_.error());
  return got;
}

size_t MemoryMemberInput::read(void* data, size_t count) {
  const size_t left = size_ - at_;
  const size_t n = count < left ? count : left;
  if (n > 0) std::memcpy(data, data_ + at_, n);
  at_ += n;
  return n;
}

}  // namespace tarn
