#include "archive/archive_output.h"

#include <cstring>
#include <new>

namespace tarn {

bool MemoryArchiveOutput::write(const void* data, size_t count) {
  try {
    if (position_ + count > bytes_.size()) bytes_.resize(static_cast<size_t>(position_ + count));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (count > 0) std::memcpy(bytes_.data() + position_, data, count);
  position_ += count;
  return true;
}

bool MemoryArchiveOutput::seek(uint64_t position) {
  if (position > bytes_.size()) return false;
  position_ = position;
  return true;
}

bool MemoryArchiveOutput::truncate(uint64_t length) {
  if (length > bytes_.size()) return false;
  bytes_.resize(static_cast<size_t>(length));
  if (position_ > length) position_ = length;
  return true;
}

}  // namespace tarn
