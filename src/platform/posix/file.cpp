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

namespace tarn::platform {

File::~File() { close(); }

File::File(File&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      writable_(std::exchange(other.writable_, false)),
      buffer_(std::exchange(other.buffer_, nullptr)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    stream_ = std::exchange(other.stream_, nullptr);
    writable_ = std::exchange(other.writable_, false);
    buffer_ = std::exchange(other.buffer_, nullptr);
  }
  return *this;
}

namespace {

char* give_buffer(std::FILE* stream, size_t buffer_size) {
  if (buffer_size == 0) return nullptr;
  char* buffer = new (std::nothrow) char[buffer_size];
  if (buffer != nullptr) std::setvbuf(stream, buffer, _IOFBF, buffer_size);
  return buffer;
}

}  // namespace

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
  buffer_ = give_buffer(stream_, buffer_size);
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
  buffer_ = give_buffer(stream_, buffer_size);
  return true;
}

size_t File::read(void* data, size_t count) {
  if (count == 0) return 0;
  return std::fread(data, 1, count, stream_);
}

bool File::write(const void* data, size_t count) {
  if (count == 0) return true;
  return std::fwrite(data, 1, count, stream_) == count;
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

bool File::close() {
  bool ok = true;
  if (stream_ != nullptr) {
    ok = std::fclose(stream_) == 0;  // also releases the lock
    stream_ = nullptr;
  }
  writable_ = false;
  delete[] buffer_;
  buffer_ = nullptr;
  return ok;
}

}  // namespace tarn::platform
