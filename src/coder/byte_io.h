// Byte streams under the range coder.
//
// The encoder appends to a ByteSink in memory; the driver moves the bytes to
// the archive after each chunk, so a coder never waits on the file system and
// several streams could be packed side by side. The decoder pulls from a
// ByteSource: an in-memory view, or a buffered reader over the archive file
// (archive/). Refilling is the only virtual call and happens once per buffer,
// never per byte. Running dry raises "Unexpected end of file!".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error.h"

namespace tarn {

class ByteSink {
 public:
  void put(uint8_t byte) { bytes_.push_back(byte); }
  std::vector<uint8_t>& bytes() { return bytes_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  void clear() { bytes_.clear(); }

 private:
  std::vector<uint8_t> bytes_;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  uint8_t get() {
    if (cur_ == end_ && !refill()) raise_error(ErrorCode::UNEXPECTED_EOF);
    return *cur_++;
  }

 protected:
  // Makes [cur_, end_) the next bytes of the stream; false at its end.
  virtual bool refill() = 0;

  const uint8_t* cur_ = nullptr;
  const uint8_t* end_ = nullptr;
};

// A source over bytes already in memory (tests, fuzzers, stored groups).
class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) {
    cur_ = data;
    end_ = data + size;
  }
  explicit MemorySource(const std::vector<uint8_t>& data) : MemorySource(data.data(), data.size()) {}
  size_t remaining() const { return static_cast<size_t>(end_ - cur_); }

 protected:
  bool refill() override { return false; }
};

}  // namespace tarn
