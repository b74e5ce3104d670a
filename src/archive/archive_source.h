// The decoder's input: a buffered reader over the archive file.
//
// It reads the archive from a given position in pieces of its own buffer
// and hands them to the range decoder through ByteSource; running past the
// end of the file makes ByteSource raise "Unexpected end of file!". It reads
// past the end of the piece if a damaged stream asks for it, which is
// harmless: the bytes are only ever decoded, never trusted.
#pragma once

#include <cstdint>
#include <vector>

#include "coder/byte_io.h"
#include "platform/file.h"

namespace tarn {

class ArchiveSource : public ByteSource {
 public:
  ArchiveSource(platform::File& file, uint64_t position);

 protected:
  bool refill() override;

 private:
  platform::File& file_;
  std::vector<uint8_t> buffer_;
};

}  // namespace tarn
