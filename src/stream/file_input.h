// The stream inputs over files and over memory.
//
// FileArchiveInput is an archive opened once for reading: its length is
// taken when it is opened and every read is a positioned read on that one
// open file, so nothing is ever reopened by name. FileMemberInput reads one
// member being packed from its file. MemoryInput and MemoryMemberInput do
// the same over bytes the caller keeps alive.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "stream/input.h"

namespace tarn {

class FileArchiveInput : public RandomAccessInput {
 public:
  // Takes an open file; `name` is used in messages.
  FileArchiveInput(platform::File file, std::string name);
  uint64_t length() const override { return length_; }
  size_t read_at(uint64_t position, void* data, size_t count) const override;
  const std::string& name() const override { return name_; }
  // Which file it is, whatever name it was opened by.
  bool identity(platform::FileId& id) const { return file_.identity(id); }

 private:
  platform::File file_;
  std::string name_;
  uint64_t length_;
};

class MemoryInput : public RandomAccessInput {
 public:
  MemoryInput(const uint8_t* data, size_t size, std::string name = "(memory)")
      : data_(data), size_(size), name_(std::move(name)) {}
  uint64_t length() const override { return size_; }
  size_t read_at(uint64_t position, void* data, size_t count) const override;
  const std::string& name() const override { return name_; }

 private:
  const uint8_t* data_;
  size_t size_;
  std::string name_;
};

class FileMemberInput : public SequentialInput {
 public:
  // Opens `path` (the OS's form) for reading; raises IO_ERROR with the path
  // and the system's reason when it cannot be opened.
  FileMemberInput(const std::string& path, size_t buffer_size);
  size_t read(void* data, size_t count) override;
  const std::string& name() const override { return path_; }

 private:
  platform::File file_;
  std::string path_;
};

class MemoryMemberInput : public SequentialInput {
 public:
  MemoryMemberInput(const uint8_t* data, size_t size, std::string name)
      : data_(data), size_(size), name_(std::move(name)) {}
  size_t read(void* data, size_t count) override;
  const std::string& name() const override { return name_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  std::string name_;
};

}  // namespace tarn
