#include "parallel/piece_buffer.h"

#include "archive/format.h"
#include "common/error.h"

namespace tarn {

PieceBuffer::~PieceBuffer() { clear(); }

void PieceBuffer::clear() {
  if (spill_ != nullptr) std::fclose(spill_);
  spill_ = nullptr;
  memory_ = std::vector<uint8_t>();
  size_ = 0;
}

void PieceBuffer::spill() {
  if (spill_ == nullptr) {
    spill_ = std::tmpfile();
    if (spill_ == nullptr) raise_error(ErrorCode::IO_ERROR);
  }
  if (!memory_.empty() && std::fwrite(memory_.data(), 1, memory_.size(), spill_) != memory_.size())
    raise_error(ErrorCode::IO_ERROR);
  memory_.clear();
  if (memory_.capacity() > 2 * SPILL_LIMIT) memory_.shrink_to_fit();  // a large piece taken over whole
}

void PieceBuffer::append(const uint8_t* data, size_t count) {
  memory_.insert(memory_.end(), data, data + count);
  size_ += count;
  if (memory_.size() > SPILL_LIMIT) spill();
}

void PieceBuffer::append(std::vector<uint8_t>&& bytes) {
  if (size_ != 0) {
    append(bytes.data(), bytes.size());
    return;
  }
  memory_ = std::move(bytes);
  size_ = memory_.size();
  if (memory_.size() > SPILL_LIMIT) spill();
}

void PieceBuffer::read_back(const std::function<void(const uint8_t*, size_t)>& take) {
  if (spill_ != nullptr) {
    if (std::fflush(spill_) != 0 || std::fseek(spill_, 0, SEEK_SET) != 0) raise_error(ErrorCode::IO_ERROR);
    std::vector<uint8_t> piece(COPY_PIECE);
    uint64_t remaining = size_ - memory_.size();
    while (remaining > 0) {
      const size_t want = remaining < COPY_PIECE ? static_cast<size_t>(remaining) : COPY_PIECE;
      if (std::fread(piece.data(), 1, want, spill_) != want) raise_error(ErrorCode::IO_ERROR);
      take(piece.data(), want);
      remaining -= want;
    }
  }
  for (size_t done = 0; done < memory_.size();) {
    const size_t want = memory_.size() - done < COPY_PIECE ? memory_.size() - done : COPY_PIECE;
    take(memory_.data() + done, want);
    done += want;
  }
}

}  // namespace tarn
