// POSIX implementation of platform::File over C streams with large-file
// positions. An archive being written is opened without truncation, locked
// with flock and only then emptied, so that a second writer finds it locked
// before anything has been destroyed.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/file.h"
#include "platform/file_stream.h"

namespace tarn::platform {

bool File::open_read(const std::string& path, size_t buffer_size) {
  close();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  stream_ = ::fdopen(fd, "rb");
  if (stream_ == nullptr) {
    ::close(fd);
    return false;
  }
  buffer_ = give_stream_buffer(stream_, buffer_size);
  return true;
}

bool File::open_write(const std::string& path, size_t buffer_size, bool exclusive) {
  close();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (exclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0) || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return false;
  }
  stream_ = ::fdopen(fd, "w+b");
  if (stream_ == nullptr) {
    ::close(fd);
    return false;
  }
  writable_ = true;
  buffer_ = give_stream_buffer(stream_, buffer_size);
  return true;
}

bool File::seek(uint64_t position) {
  return ::fseeko(stream_, static_cast<off_t>(position), SEEK_SET) == 0;
}

uint64_t File::tell() {
  const off_t pos = ::ftello(stream_);
  return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

uint64_t File::length() {
  if (writable_) std::fflush(stream_);
  struct stat st;
  if (::fstat(::fileno(stream_), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool File::truncate(uint64_t length) {
  if (std::fflush(stream_) != 0) return false;
  return ::ftruncate(::fileno(stream_), static_cast<off_t>(length)) == 0;
}

bool File::identity(FileId& id) const {
  struct stat st;
  if (stream_ == nullptr || ::fstat(::fileno(stream_), &st) != 0) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace tarn::platform
