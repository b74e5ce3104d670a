#include "stream/piece_source.h"

namespace tarn {

namespace {
constexpr size_t SOURCE_BUFFER_SIZE = 64 * 1024;
}

PieceSource::PieceSource(const RandomAccessInput& input, uint64_t position, uint64_t end)
    : input_(input), position_(position), end_position_(end) {}

bool PieceSource::refill() {
  if (position_ >= end_position_) return false;
  // The buffer is taken with the first read, so a piece of a few bytes
  // costs a few bytes.
  if (buffer_.empty()) {
    const uint64_t piece = end_position_ - position_;
    buffer_.resize(piece < SOURCE_BUFFER_SIZE ? static_cast<size_t>(piece) : SOURCE_BUFFER_SIZE);
  }
  const uint64_t left = end_position_ - position_;
  const size_t want = left < buffer_.size() ? static_cast<size_t>(left) : buffer_.size();
  const size_t got = input_.read_at(position_, buffer_.data(), want);
  if (got == 0) return false;
  position_ += got;
  cur_ = buffer_.data();
  end_ = buffer_.data() + got;
  return true;
}

}  // namespace tarn
