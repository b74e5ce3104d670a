// Shared pieces of the fuzz targets: taking parameters from the front of the
// input, and handing the input to code that reads only files.
//
// Every target catches TarnError (the library's only way to refuse input);
// anything else that escapes, and every sanitizer report, is a finding.
#pragma once

#include <unistd.h>

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

// One file per fuzzing process that holds the current input: the archive
// reader opens archives by name only.
class InputFile {
 public:
  InputFile() : path_("/tmp/tarn-fuzz-" + std::to_string(::getpid()) + ".trn") {}
  ~InputFile() { std::remove(path_.c_str()); }
  const std::string& write(const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace tarn::fuzz
