// platform::File members shared by the POSIX and Win32 builds.
#include "platform/file_stream.h"

#include <new>
#include <utility>

#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn::platform {

char* give_stream_buffer(std::FILE* stream, size_t buffer_size) {
  if (buffer_size == 0) return nullptr;
  char* buffer = new (std::nothrow) char[buffer_size];
  if (buffer != nullptr) std::setvbuf(stream, buffer, _IOFBF, buffer_size);
  return buffer;
}

File::~File() { close(); }

File::File(File&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      writable_(std::exchange(other.writable_, false)),
      buffer_(std::exchange(other.buffer_, nullptr)),
      error_(std::move(other.error_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    stream_ = std::exchange(other.stream_, nullptr);
    writable_ = std::exchange(other.writable_, false);
    buffer_ = std::exchange(other.buffer_, nullptr);
    error_ = std::move(other.error_);
  }
  return *this;
}

bool File::failed() {
  error_ = last_error_text();
  return false;
}

size_t File::read(void* data, size_t count) {
  if (count == 0) return 0;
  const size_t got = std::fread(data, 1, count, stream_);
  if (got < count && std::ferror(stream_)) failed();
  return got;
}

bool File::write(const void* data, size_t count) {
  if (count == 0) return true;
  return std::fwrite(data, 1, count, stream_) == count || failed();
}

bool File::flush() { return std::fflush(stream_) == 0 || failed(); }

bool File::close() {
  bool ok = true;
  if (stream_ != nullptr) {
    ok = std::fclose(stream_) == 0 || failed();  // on POSIX this also releases the writer's lock
    stream_ = nullptr;
  }
  writable_ = false;
  delete[] buffer_;
  buffer_ = nullptr;
  return ok;
}

}  // namespace tarn::platform
