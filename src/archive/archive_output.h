// Where the creation driver writes an archive: a file, or memory.
//
// The driver writes forward, seeks back to its own earlier offsets (the
// store fallback, the back-patches of the table CRC and the header) and
// cuts the output at its end; these are all it needs. Failures are returned
// with the system's reason in error(), as platform::File does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace tarn {

class ArchiveOutput {
 public:
  virtual ~ArchiveOutput() = default;
  virtual bool write(const void* data, size_t count) = 0;
  virtual bool seek(uint64_t position) = 0;
  virtual uint64_t tell() = 0;
  virtual bool truncate(uint64_t length) = 0;
  virtual bool flush() = 0;
  virtual std::string error() const = 0;
};

class FileArchiveOutput : public ArchiveOutput {
 public:
  explicit FileArchiveOutput(platform::File& file) : file_(file) {}
  bool write(const void* data, size_t count) override { return file_.write(data, count); }
  bool seek(uint64_t position) override { return file_.seek(position); }
  uint64_t tell() override { return file_.tell(); }
  bool truncate(uint64_t length) override { return file_.truncate(length); }
  bool flush() override { return file_.flush(); }
  std::string error() const override { return file_.error(); }

 private:
  platform::File& file_;
};

class MemoryArchiveOutput : public ArchiveOutput {
 public:
  bool write(const void* data, size_t count) override;
  bool seek(uint64_t position) override;
  uint64_t tell() override { return position_; }
  bool truncate(uint64_t length) override;
  bool flush() override { return true; }
  std::string error() const override { return "out of memory"; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t position_ = 0;
};

}  // namespace tarn
