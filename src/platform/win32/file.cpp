// Win32 implementation of platform::File over C streams opened with sharing
// modes: a file written is opened denying other readers and writers, as the
// format's program does; a file read is opened denying writers only, so that
// the extraction's decoding workers can open the archive beside the reader
// of its table, and the self-extractor can open its own running program.
#include <windows.h>

#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/file_stream.h"

namespace tarn::platform {

namespace {

bool is_regular_file(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
}

}  // namespace

bool File::open_read(const std::string& path, size_t buffer_size) {
  close();
  if (!is_regular_file(path)) {
    errno = ENOENT;
    return failed();
  }
  stream_ = _fsopen(path.c_str(), "rb", _SH_DENYWR);
  if (stream_ == nullptr) return failed();
  buffer_ = give_stream_buffer(stream_, buffer_size);
  return true;
}

bool File::open_write(const std::string& path, size_t buffer_size, bool /*exclusive*/) {
  close();
  // The sharing mode already keeps a second writer out; a file that is open
  // elsewhere is refused before it is truncated.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !is_regular_file(path)) {
    errno = EISDIR;
    return failed();
  }
  stream_ = _fsopen(path.c_str(), "w+b", _SH_DENYRW);
  if (stream_ == nullptr) return failed();
  writable_ = true;
  buffer_ = give_stream_buffer(stream_, buffer_size);
  return true;
}

bool File::create_new(const std::string& path, size_t buffer_size, bool /*exclusive*/) {
  close();
  const HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
    return failed();
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
  if (fd < 0) {
    CloseHandle(handle);
    return failed();
  }
  stream_ = _fdopen(fd, "w+b");
  if (stream_ == nullptr) {
    _close(fd);
    return failed();
  }
  writable_ = true;
  buffer_ = give_stream_buffer(stream_, buffer_size);
  return true;
}

bool File::create_new_in(const Directory& directory, const std::string& name, size_t buffer_size, bool exclusive) {
  return create_new(directory.path() + name, buffer_size, exclusive);
}

bool File::create_unnamed_in(const Directory&, size_t, bool) {
  close();
  errno = ENOSYS;
  SetLastError(ERROR_NOT_SUPPORTED);
  return failed();
}

int File::descriptor() const { return stream_ == nullptr ? -1 : _fileno(stream_); }

bool File::read_at(uint64_t position, void* data, size_t count, size_t& got, std::string& error) const {
  // ReadFile at an offset of its own; the handle is synchronous, so the
  // system serialises the reads of several threads on it.
  got = 0;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
  auto* bytes = static_cast<uint8_t*>(data);
  while (got < count) {
    const uint64_t at = position + got;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    const size_t left = count - got;
    const DWORD want = left < 0x40000000u ? static_cast<DWORD>(left) : 0x40000000u;
    DWORD n = 0;
    if (!ReadFile(handle, bytes + got, want, &n, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      error = "read error " + std::to_string(GetLastError());
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  return true;
}

bool File::sync() { return (flush() && _commit(_fileno(stream_)) == 0) || failed(); }

bool File::seek(uint64_t position) {
  return _fseeki64(stream_, static_cast<__int64>(position), SEEK_SET) == 0 || failed();
}

uint64_t File::tell() {
  const __int64 pos = _ftelli64(stream_);
  return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

uint64_t File::length() {
  if (writable_) std::fflush(stream_);
  const __int64 length = _filelengthi64(_fileno(stream_));
  return length < 0 ? 0 : static_cast<uint64_t>(length);
}

bool File::truncate(uint64_t length) {
  return (flush() && _chsize_s(_fileno(stream_), static_cast<__int64>(length)) == 0) || failed();
}

bool File::identity(FileId& id) const {
  if (stream_ == nullptr) return false;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
  id.device = info.dwVolumeSerialNumber;
  id.inode = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

}  // namespace tarn::platform
