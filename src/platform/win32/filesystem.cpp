// Win32 implementation of the directory search, file status, directory
// creation and metadata restore.
//
// Directory search: FindFirstFileA/FindNextFileA over "<dir>*" give every
// name with its attributes, size and last-write time; the names are matched
// against the mask with the same byte-exact rule as on POSIX and sorted by
// byte order, so an archive made here has the entries of one made on POSIX.
// Directories that are reparse points (junctions, links) are not descended
// into, and devices are left out.
//
// Times: a FILETIME counts 100 ns steps since 1601-01-01 UTC; the stored DOS
// time is read as UTC, with no local-time conversion, as on POSIX.
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/format_constants.h"
#include "platform/filesystem.h"
#include "platform/name_mask.h"

namespace tarn::platform {

namespace {

constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;  // 1970-01-01 in FILETIME steps
constexpr int64_t FILETIME_STEPS_PER_SECOND = 10000000;
constexpr DWORD STORED_ATTRIBUTES = ATTR_READ_ONLY | ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;

int64_t unix_from_filetime(const FILETIME& ft) {
  const int64_t steps = static_cast<int64_t>(static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
  return (steps - FILETIME_UNIX_EPOCH) / FILETIME_STEPS_PER_SECOND;
}

FILETIME filetime_from_unix(int64_t seconds) {
  const auto steps = static_cast<uint64_t>(seconds * FILETIME_STEPS_PER_SECOND + FILETIME_UNIX_EPOCH);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(steps);
  ft.dwHighDateTime = static_cast<DWORD>(steps >> 32);
  return ft;
}

}  // namespace

std::string native_path(const std::string& path) {
  std::string result = path;
  std::replace(result.begin(), result.end(), '/', '\\');
  return result;
}

uint32_t attributes_from_mode(uint32_t mode, const std::string& name) {
  // Windows keeps the DOS bits themselves; this serves only callers that
  // have a C-runtime mode.
  uint32_t attributes = 0;
  if ((mode & 0200) == 0) attributes |= ATTR_READ_ONLY;
  if (!name.empty() && name[0] == '.') attributes |= ATTR_HIDDEN;
  attributes |= (mode & 0170000) == 0040000 ? ATTR_DIRECTORY : ATTR_ARCHIVE;
  return attributes;
}

std::vector<FoundEntry> search_directory(const std::string& directory, const std::string& mask,
                                         std::vector<SearchProblem>* problems) {
  std::vector<FoundEntry> found;
  WIN32_FIND_DATAA data;
  const std::string pattern = native_path(directory) + "*";
  HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    if (problems != nullptr && GetLastError() != ERROR_FILE_NOT_FOUND) problems->push_back({"", last_error_text(), true});
    return found;
  }
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == ".." || !name_mask_match(name, mask)) continue;
    const DWORD a = data.dwFileAttributes;
    if ((a & FILE_ATTRIBUTE_DEVICE) != 0) continue;
    const bool directory_entry = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory_entry && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    FoundEntry entry;
    entry.name = name;
    entry.attributes = (a & STORED_ATTRIBUTES) | (directory_entry ? ATTR_DIRECTORY : 0);
    entry.size = directory_entry ? 0 : (static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
    entry.mtime = unix_from_filetime(data.ftLastWriteTime);
    found.push_back(std::move(entry));
  } while (FindNextFileA(search, &data));
  FindClose(search);
  std::sort(found.begin(), found.end(), [](const FoundEntry& a, const FoundEntry& b) { return a.name < b.name; });
  return found;
}

bool is_directory(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The device namespace holds pipes, consoles and drives; reserved names such
// as "NUL" report themselves as devices.
bool is_special_file(const std::string& path) {
  if (path.rfind("\\\\.\\", 0) == 0) return true;
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DEVICE) != 0;
}

bool is_symlink(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The final path of an open handle follows every link and junction on the
// way; "\\?\" in front of it is dropped so that it compares with others.
std::string real_path(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  char buffer[MAX_PATH + 8];
  const DWORD n = GetFinalPathNameByHandleA(h, buffer, sizeof buffer, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(h);
  if (n == 0 || n >= sizeof buffer) return {};
  std::string result(buffer, n);
  if (result.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + result.substr(8);
  if (result.compare(0, 4, "\\\\?\\") == 0) return result.substr(4);
  return result;
}

bool create_directory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool remove_file(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool rename_replacing(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string temporary_name() {
  static std::atomic<uint32_t> counter{0};
  const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t mixed = (now * 0x9E3779B97F4A7C15ull) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 20) ^ counter++;
  char name[32];
  std::snprintf(name, sizeof name, ".tarnc-%012llx.tmp", static_cast<unsigned long long>(mixed & 0xFFFFFFFFFFFFull));
  return name;
}

std::string temporary_name_beside(const std::string& target) {
  const size_t slash = target.find_last_of("\\/");
  const std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return directory + temporary_name();
}

bool is_write_protected(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0;
}

bool path_identity(const std::string& path, FileId& id) {
  const HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  id.device = info.dwVolumeSerialNumber;
  id.inode = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

bool path_fits(const std::string& path) { return path.size() < MAX_PATH; }

std::string last_error_text() {
  const DWORD code = GetLastError();
  if (code == 0) return std::strerror(errno);
  char buffer[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                           sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == ' ' || buffer[n - 1] == '.')) --n;
  return n > 0 ? std::string(buffer, n) : std::strerror(errno);
}

void make_executable(File&) {}  // the .exe name is enough

void restore_file_metadata(File& file, uint32_t attributes, int64_t mtime) {
  // On the open handle, times first while the file is still writable: a
  // read-only file gets its time too. Results are ignored, as the format's
  // program does.
  const int fd = file.descriptor();
  if (fd < 0) return;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return;
  const FILETIME time = filetime_from_unix(mtime);
  SetFileTime(handle, &time, nullptr, &time);
  FILE_BASIC_INFO info{};
  const DWORD kept = attributes & STORED_ATTRIBUTES;
  info.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info);
}

std::string own_executable_path() {
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::string(buffer, n);
}

int64_t clock_milliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

bool console_uses_code_page() { return true; }  // names are bytes of the ANSI code page

bool describe_path(const std::string& path, FoundEntry& entry, std::string& error) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    error = "cannot find it";
    return false;
  }
  const DWORD a = data.dwFileAttributes;
  if ((a & FILE_ATTRIBUTE_DEVICE) != 0) {
    error = "not a regular file or a directory";
    return false;
  }
  const bool directory_entry = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const size_t slash = path.find_last_of("/\\");
  entry.name = slash == std::string::npos ? path : path.substr(slash + 1);
  entry.attributes = (a & STORED_ATTRIBUTES) | (directory_entry ? ATTR_DIRECTORY : 0);
  entry.size = directory_entry ? 0 : (static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
  entry.mtime = unix_from_filetime(data.ftLastWriteTime);
  return true;
}

bool write_descriptor(int fd, const void* data, size_t size, std::string& error) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const unsigned piece = size < (1u << 30) ? static_cast<unsigned>(size) : (1u << 30);
    const int n = _write(fd, bytes, piece);
    if (n < 0) {
      error = std::strerror(errno);
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace tarn::platform
