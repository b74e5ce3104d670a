// Shared pieces of the fuzz targets: taking parameters from the front of the
// input, and keeping the drivers' console output out of the way.
//
// Every target catches TarnError (the library's only way to refuse input);
// anything else that escapes, and every sanitizer report, is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/byte_order.h"

namespace tarn::fuzz {

// Reads little-endian parameters from the front of the input; past its end
// every value is 0.
class Params {
 public:
  Params(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // `bytes` is 1 to 4.
  uint32_t take(unsigned bytes) {
    uint8_t value[4] = {};
    for (unsigned i = 0; i < bytes; ++i, ++pos_) {
      if (pos_ < size_) value[i] = data_[pos_];
    }
    return tarn::load_le32(value);
  }
  const uint8_t* rest() const { return data_ + (pos_ < size_ ? pos_ : size_); }
  size_t rest_size() const { return pos_ < size_ ? size_ - pos_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The drivers print progress lines; the fuzzer's own output goes to stderr.
inline void silence_stdout() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

}  // namespace tarn::fuzz
