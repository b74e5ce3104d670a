#include "archive/archive_source.h"

#include "common/error.h"

namespace tarn {

namespace {
constexpr size_t SOURCE_BUFFER_SIZE = 64 * 1024;
}

ArchiveSource::ArchiveSource(platform::File& file, uint64_t position, uint64_t end)
    : file_(file), position_(position), end_position_(end), buffer_(SOURCE_BUFFER_SIZE) {
  if (!file_.seek(position)) raise_error(ErrorCode::IO_ERROR, file_.error());
}

bool ArchiveSource::refill() {
  if (position_ >= end_position_) return false;
  const uint64_t left = end_position_ - position_;
  const size_t want = left < buffer_.size() ? static_cast<size_t>(left) : buffer_.size();
  const size_t got = file_.read(buffer_.data(), want);
  if (got == 0) {
    if (!file_.error().empty()) raise_error(ErrorCode::IO_ERROR, file_.error());
    return false;
  }
  position_ += got;
  cur_ = buffer_.data();
  end_ = buffer_.data() + got;
  return true;
}

}  // namespace tarn
