// POSIX directory handles: a descriptor opened with O_DIRECTORY, and the
// *at calls on it. Where the system has O_PATH the subdirectories are
// opened with it, so that a directory the user may search but not read is
// walked through as the path would be; its mode is then set through the
// descriptor's entry in /proc (what changes the mode of an open file
// without a name), or through a second descriptor opened on "." in it.
// A file without a name is linked in through /proc too (any user may), or
// with AT_EMPTY_PATH where that is allowed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/directory.h"

namespace tarn::platform {

namespace {

#ifdef O_PATH
constexpr int WALK_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int WALK_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

// "/proc/self/fd/N" for a descriptor.
std::string descriptor_path(int fd) {
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return path;
}

}  // namespace

Directory::~Directory() { close(); }

Directory::Directory(Directory&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), open_(std::exchange(other.open_, false)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    close();
    descriptor_ = std::exchange(other.descriptor_, -1);
    open_ = std::exchange(other.open_, false);
  }
  return *this;
}

bool Directory::open(const std::string& path) {
  close();
#ifdef O_PATH
  const int fd = ::open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
  const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
  if (fd < 0) return false;
  descriptor_ = fd;
  open_ = true;
  return true;
}

bool Directory::open_parent_of(const std::string& path, std::string& name) {
  const size_t slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (slash == std::string::npos) return open(".");
  return open(slash == 0 ? std::string("/") : path.substr(0, slash));
}

bool Directory::is_open() const { return open_; }

void Directory::close() {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
  open_ = false;
}

bool Directory::duplicate(Directory& copy) const {
  copy.close();
  const int fd = ::fcntl(descriptor_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return false;
  copy.descriptor_ = fd;
  copy.open_ = true;
  return true;
}

Directory::Child Directory::open_child(const std::string& name, bool create, Directory& child) const {
  child.close();
  // A directory made or removed by someone else meanwhile is looked at again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = ::openat(descriptor_, name.c_str(), WALK_FLAGS);
    if (fd >= 0) {
      child.descriptor_ = fd;
      child.open_ = true;
      return Child::OPENED;
    }
    const int error = errno;
    if (error == ENOENT && create) {
      if (::mkdirat(descriptor_, name.c_str(), 0777) == 0 || errno == EEXIST) continue;
      return Child::FAILED;
    }
    if (error == ELOOP || error == ENOTDIR) {
      const Kind kind = kind_of(name);
      if (kind == Kind::LINK) return Child::LINK;
      if (kind == Kind::DIRECTORY || kind == Kind::MISSING) continue;  // changed meanwhile
      errno = ENOTDIR;
      return Child::NOT_A_DIRECTORY;
    }
    errno = error;
    return Child::FAILED;
  }
  return Child::FAILED;
}

Directory::Kind Directory::kind_of(const std::string& name) const {
  struct stat st;
  if (::fstatat(descriptor_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Kind::MISSING;
  if (S_ISLNK(st.st_mode)) return Kind::LINK;
  if (S_ISDIR(st.st_mode)) return Kind::DIRECTORY;
  if (S_ISREG(st.st_mode)) return Kind::FILE;
  return Kind::OTHER;
}

bool Directory::identity_of(const std::string& name, FileId& id) const {
  struct stat st;
  if (::fstatat(descriptor_, name.c_str(), &st, 0) != 0) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool Directory::rename(const std::string& from, const std::string& to) const {
  return ::renameat(descriptor_, from.c_str(), descriptor_, to.c_str()) == 0;
}

bool Directory::remove(const std::string& name) const { return ::unlinkat(descriptor_, name.c_str(), 0) == 0; }

bool Directory::link(const File& file, const std::string& name) const {
  const int fd = file.descriptor();
  if (::linkat(AT_FDCWD, descriptor_path(fd).c_str(), descriptor_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno == EEXIST) return false;
#ifdef AT_EMPTY_PATH
  const int error = errno;
  if (::linkat(fd, "", descriptor_, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != EEXIST) errno = error;
#endif
  return false;
}

void Directory::restore_mode(uint32_t attributes) const {
  const uint32_t stored_mode = attributes >> 16;
  if (stored_mode == 0) return;
  const mode_t mode = stored_mode & 0777;  // never set-id or sticky bits
  if (::fchmod(descriptor_, mode) == 0) return;
  if (::chmod(descriptor_path(descriptor_).c_str(), mode) == 0) return;
  const int fd = ::openat(descriptor_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fchmod(fd, mode);
  ::close(fd);
}

}  // namespace tarn::platform
