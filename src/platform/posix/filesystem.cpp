// POSIX implementation of the directory search, file status, directory
// creation and metadata restore.
//
// Directory search: opendir/readdir give the names in the file system's
// order; they are matched against the mask, sorted by byte order and then
// given their status with stat (which follows symbolic links, so a link to a
// file is archived as that file). A link to a directory is dropped so that
// recursion cannot loop; sockets, fifos and devices are dropped like
// unreadable files.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/format_constants.h"
#include "platform/filesystem.h"
#include "platform/name_mask.h"

namespace tarn::platform {

namespace {

constexpr uint32_t DEFAULT_FILE_PERMISSIONS = 0644;
constexpr uint32_t DEFAULT_DIR_PERMISSIONS = 0755;

}  // namespace

std::string native_path(const std::string& path) {
  std::string result = path;
  std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

uint32_t attributes_from_mode(uint32_t mode, const std::string& name) {
  uint32_t attributes = 0;
  const bool directory = S_ISDIR(mode);
  if ((mode & S_IWUSR) == 0) attributes |= ATTR_READ_ONLY;
  if (!name.empty() && name[0] == '.') attributes |= ATTR_HIDDEN;
  if (directory) attributes |= ATTR_DIRECTORY;
  if (S_ISREG(mode)) attributes |= ATTR_ARCHIVE;
  const uint32_t plain = directory ? DEFAULT_DIR_PERMISSIONS : DEFAULT_FILE_PERMISSIONS;
  if ((mode & 07777) != plain) attributes |= (mode & 0xFFFF) << 16;
  return attributes;
}

std::vector<FoundEntry> search_directory(const std::string& directory, const std::string& mask,
                                         std::vector<SearchProblem>* problems) {
  std::vector<FoundEntry> found;
  const std::string base = directory.empty() ? std::string(".") : directory;
  DIR* dir = ::opendir(base.c_str());
  if (dir == nullptr) {
    if (problems != nullptr) problems->push_back({"", std::strerror(errno), true});
    return found;
  }
  std::vector<std::pair<std::string, bool>> names;  // and whether it is known to be a directory
  while (const dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (name_mask_match(name, mask)) names.emplace_back(std::move(name), e->d_type == DT_DIR);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const auto& [name, known_directory] : names) {
    const std::string path = directory + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (problems != nullptr) problems->push_back({name, std::strerror(errno), known_directory});
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      struct stat lst;
      if (::lstat(path.c_str(), &lst) != 0 || S_ISLNK(lst.st_mode)) continue;
    } else if (!S_ISREG(st.st_mode)) {
      continue;
    }
    FoundEntry entry;
    entry.name = name;
    entry.attributes = attributes_from_mode(st.st_mode, name);
    entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    entry.mtime = static_cast<int64_t>(st.st_mtime);
    found.push_back(std::move(entry));
  }
  return found;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_special_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool is_symlink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string real_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result = resolved;
  std::free(resolved);
  return result;
}

bool create_directory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool rename_replacing(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string temporary_name() {
  static std::atomic<uint32_t> counter{0};
  const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t mixed = (now * 0x9E3779B97F4A7C15ull) ^ (static_cast<uint64_t>(::getpid()) << 20) ^ counter++;
  char name[32];
  std::snprintf(name, sizeof name, ".tarnc-%012llx.tmp", static_cast<unsigned long long>(mixed & 0xFFFFFFFFFFFFull));
  return name;
}

std::string temporary_name_beside(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return directory + temporary_name();
}

bool is_write_protected(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0;
}

bool path_identity(const std::string& path, FileId& id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool path_fits(const std::string& path) {
  if (path.size() >= PATH_MAX) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('/', start);
    const size_t length = (end == std::string::npos ? path.size() : end) - start;
    if (length > NAME_MAX) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string last_error_text() { return std::strerror(errno); }

void make_executable(File& file) {
  const int fd = file.descriptor();
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return;
  mode_t mode = st.st_mode & 07777;
  mode |= (mode & 0444) >> 2;  // x wherever r is set
  ::fchmod(fd, mode);
}

void restore_file_metadata(File& file, uint32_t attributes, int64_t mtime) {
  const int fd = file.descriptor();
  if (fd < 0) return;
  // Times first: a read-only file still gets its time.
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(mtime);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ::futimens(fd, times);

  const uint32_t stored_mode = attributes >> 16;
  if (stored_mode != 0) {
    ::fchmod(fd, stored_mode & 0777);  // never set-id or sticky bits
  } else if ((attributes & ATTR_READ_ONLY) != 0) {
    struct stat st;
    if (::fstat(fd, &st) == 0) ::fchmod(fd, st.st_mode & 0555);
  }
}

std::string own_executable_path() {
  // Opened through the link itself, so the file is found even when it was
  // renamed or moved while running.
  return "/proc/self/exe";
}

int64_t clock_milliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) != 0; }

bool console_uses_code_page() { return false; }  // terminals read UTF-8

bool describe_path(const std::string& path, FoundEntry& entry, std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = last_error_text();
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    error = "not a regular file or a directory";
    return false;
  }
  const size_t slash = path.find_last_of('/');
  entry.name = slash == std::string::npos ? path : path.substr(slash + 1);
  entry.attributes = attributes_from_mode(st.st_mode, entry.name);
  entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  entry.mtime = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool write_descriptor(int fd, const void* data, size_t size, std::string& error) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = last_error_text();
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace tarn::platform
