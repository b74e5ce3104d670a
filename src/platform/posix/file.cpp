// POSIX implementation of platform::File over C streams with large-file
// positions. A file written over is opened without truncation, locked with
// flock when asked and only then emptied, so that a second writer finds it
// locked before anything has been destroyed. Files are opened for reading
// without blocking, so that a fifo is refused instead of waited on.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/file_stream.h"
#include "platform/filesystem.h"

namespace tarn::platform {

namespace {

// A stream over `fd`, which must be a regular file; `fd` is closed on
// failure, with errno telling why.
std::FILE* regular_file_stream(int fd, const char* mode, bool lock, bool truncate) {
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) error = errno;
  else if (!S_ISREG(st.st_mode)) error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  else if (lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) error = errno;
  else if (truncate && ::ftruncate(fd, 0) != 0) error = errno;
  if (error == 0) {
    std::FILE* stream = ::fdopen(fd, mode);
    if (stream != nullptr) return stream;
    error = errno;
  }
  ::close(fd);
  errno = error;
  return nullptr;
}

}  // namespace

bool File::open_read(const std::string& path, size_t buffer_size) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return failed();
  stream_ = regular_file_stream(fd, "rb", false, false);
  if (stream_ == nullptr) return failed();
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  buffer_ = give_stream_buffer(stream_, buffer_size);
  return true;
}

// Takes a descriptor just opened for writing (-1: the open failed) as this
// file's stream.
bool File::adopt_writable(int fd, size_t buffer_size, bool exclusive, bool truncate) {
  if (fd < 0) return failed();
  stream_ = regular_file_stream(fd, "w+b", exclusive, truncate);
  if (stream_ == nullptr) return failed();
  writable_ = true;
  buffer_ = give_stream_buffer(stream_, buffer_size);
  return true;
}

bool File::open_write(const std::string& path, size_t buffer_size, bool exclusive) {
  close();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  return adopt_writable(fd, buffer_size, exclusive, true);
}

bool File::create_new(const std::string& path, size_t buffer_size, bool exclusive) {
  close();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  return adopt_writable(fd, buffer_size, exclusive, false);
}

bool File::create_new_in(const Directory& directory, const std::string& name, size_t buffer_size, bool exclusive) {
  close();
  const int fd = ::openat(directory.descriptor(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  return adopt_writable(fd, buffer_size, exclusive, false);
}

bool File::create_unnamed_in(const Directory& directory, size_t buffer_size, bool exclusive) {
  close();
#ifdef O_TMPFILE
  // Naming it later goes through /proc (Directory::link): without /proc
  // such a file could be written and never named.
  if (::access("/proc/self/fd", X_OK) != 0) return failed();
  const int fd = ::openat(directory.descriptor(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  return adopt_writable(fd, buffer_size, exclusive, false);
#else
  (void)directory;
  (void)buffer_size;
  (void)exclusive;
  errno = EOPNOTSUPP;
  return failed();
#endif
}

int File::descriptor() const { return stream_ == nullptr ? -1 : ::fileno(stream_); }

bool File::read_at(uint64_t position, void* data, size_t count, size_t& got, std::string& error) const {
  got = 0;
  auto* bytes = static_cast<uint8_t*>(data);
  while (got < count) {
    const ssize_t n = ::pread(::fileno(stream_), bytes + got, count - got, static_cast<off_t>(position + got));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = last_error_text();
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

bool File::sync() { return (flush() && ::fsync(::fileno(stream_)) == 0) || failed(); }

bool File::seek(uint64_t position) {
  return ::fseeko(stream_, static_cast<off_t>(position), SEEK_SET) == 0 || failed();
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
  return (flush() && ::ftruncate(::fileno(stream_), static_cast<off_t>(length)) == 0) || failed();
}

bool File::identity(FileId& id) const {
  struct stat st;
  if (stream_ == nullptr || ::fstat(::fileno(stream_), &st) != 0) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace tarn::platform
