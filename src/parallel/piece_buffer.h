// A finished piece of output waiting for its turn.
//
// A worker packs a file (or decodes one) before the driver may write it, so
// the bytes wait somewhere: in memory while they are few, in an anonymous
// temporary file once they pass SPILL_LIMIT, so that a large file waiting
// behind a slow one costs disk cache instead of memory. The bytes come back
// in order, in pieces of at most COPY_PIECE bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace tarn {

class PieceBuffer {
 public:
  // Bytes kept in memory before the piece moves to a temporary file.
  static constexpr size_t SPILL_LIMIT = 2u << 20;

  PieceBuffer() = default;
  ~PieceBuffer();
  PieceBuffer(const PieceBuffer&) = delete;
  PieceBuffer& operator=(const PieceBuffer&) = delete;

  // Raises IO_ERROR when the temporary file cannot be made or written.
  void append(const uint8_t* data, size_t count);
  // The same, taking over `bytes` without a copy when the piece is empty.
  void append(std::vector<uint8_t>&& bytes);
  uint64_t size() const { return size_; }
  // Hands the bytes to `take` in order; raises IO_ERROR on a read failure.
  void read_back(const std::function<void(const uint8_t*, size_t)>& take);
  // Forgets the bytes (and the temporary file).
  void clear();

 private:
  void spill();

  std::vector<uint8_t> memory_;
  std::FILE* spill_ = nullptr;
  uint64_t size_ = 0;
};

}  // namespace tarn
