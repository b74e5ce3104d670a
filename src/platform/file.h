// Buffered byte-mode files.
//
// The archive, the input files, the list files and the extracted files are
// all read and written through this one type. It hides the OS calls (the
// only place besides the rest of src/platform that may make them) and keeps
// 64-bit positions, so the drivers never see a handle or an errno. Every
// operation reports failure by its return value, and the system's reason
// stays readable in error(); the callers decide which fatal error that is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tarn::platform {

class Directory;

// Which file an open file is, whatever name it was opened by.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  // Opens an existing regular file for reading (anything else, a fifo or a
  // device, is refused without waiting on it). `path` is in the OS's form.
  bool open_read(const std::string& path, size_t buffer_size = 0);
  // Creates or truncates a file for writing. With `exclusive` an advisory
  // lock is taken first, so two writers never share one archive.
  bool open_write(const std::string& path, size_t buffer_size = 0, bool exclusive = false);
  // Creates a file that must not exist yet, for writing, with the default
  // permissions for new files; `exclusive` as above.
  bool create_new(const std::string& path, size_t buffer_size = 0, bool exclusive = false);
  // The same for the file `name` in `directory`.
  bool create_new_in(const Directory& directory, const std::string& name, size_t buffer_size = 0,
                     bool exclusive = false);
  // Creates a file that has no name yet in `directory`, for writing:
  // nothing is left of it when it is closed or the process ends, until
  // Directory::link names it. False where the system or the file system
  // cannot make such a file (a named one is made instead).
  bool create_unnamed_in(const Directory& directory, size_t buffer_size = 0, bool exclusive = false);

  bool is_open() const { return stream_ != nullptr; }
  // Reads up to `count` bytes; returns how many were read.
  size_t read(void* data, size_t count);
  // Reads exactly `count` bytes; false on a short read.
  bool read_exact(void* data, size_t count) { return read(data, count) == count; }
  // Reads up to `count` bytes at `position` without moving the file's
  // position or using its buffer; fewer only at the end. Safe from several
  // threads at once on a file open for reading (nothing else may read it
  // through read() meanwhile). False with the system's reason in `error`.
  bool read_at(uint64_t position, void* data, size_t count, size_t& got, std::string& error) const;
  // One byte, or -1 at the end of the file (or on a read error).
  int get_byte() { return std::getc(stream_); }
  bool write(const void* data, size_t count);
  // Hands what the buffer holds to the system; `sync` also waits until the
  // system has it on the disk.
  bool flush();
  bool sync();
  bool seek(uint64_t position);
  uint64_t tell();
  // Length of the open file in bytes.
  uint64_t length();
  // Flushes and cuts the file at `length`.
  bool truncate(uint64_t length);
  bool close();
  // False when the file is not open.
  bool identity(FileId& id) const;
  // The C runtime's descriptor of the open file (-1 when not open), for the
  // platform's own calls on it.
  int descriptor() const;
  // The system's reason for the last operation that failed ("" if none, or
  // when a read simply reached the end of the file).
  const std::string& error() const { return error_; }

 private:
  bool failed();  // records the reason, returns false
#ifndef _WIN32
  bool adopt_writable(int fd, size_t buffer_size, bool exclusive, bool truncate);
#endif

  std::FILE* stream_ = nullptr;
  bool writable_ = false;
  char* buffer_ = nullptr;
  std::string error_;
};

}  // namespace tarn::platform
