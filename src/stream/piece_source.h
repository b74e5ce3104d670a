// The decoder's input: a buffered reader over one piece of the archive.
//
// It reads the archive from the piece's offset up to the piece's end (the
// offset plus its packed size, or the end of the archive, whichever is
// first) and hands the bytes to the range decoder through ByteSource. A
// stream that asks for more than that raises "Unexpected end of file!": a
// valid stream never does, so the caller treats it as a damaged piece, or,
// when the piece claims bytes past the end of the archive, as the end of
// the archive reached.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "coder/byte_io.h"
#include "stream/input.h"

namespace tarn {

class PieceSource : public ByteSource {
 public:
  PieceSource(const RandomAccessInput& input, uint64_t position, uint64_t end = std::numeric_limits<uint64_t>::max());

 protected:
  bool refill() override;

 private:
  const RandomAccessInput& input_;
  uint64_t position_;
  uint64_t end_position_;
  std::vector<uint8_t> buffer_;
};

}  // namespace tarn
