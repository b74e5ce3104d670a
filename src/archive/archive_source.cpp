#include "archive/archive_source.h"

#include "common/error.h"

namespace tarn {

namespace {
constexpr size_t SOURCE_BUFFER_SIZE = 64 * 1024;
}

ArchiveSource::ArchiveSource(platform::File& file, uint64_t position) : file_(file), buffer_(SOURCE_BUFFER_SIZE) {
  if (!file_.seek(position)) raise_error(ErrorCode::IO_ERROR);
}

bool ArchiveSource::refill() {
  const size_t got = file_.read(buffer_.data(), buffer_.size());
  if (got == 0) return false;
  cur_ = buffer_.data();
  end_ = buffer_.data() + got;
  return true;
}

}  // namespace tarn
