// Win32 directory handles: the directory's path, with a separator at its
// end. Each step checks the path as it is at that moment (a reparse point,
// a symbolic link or a junction, is never walked through), then uses it:
// unlike POSIX, a directory swapped for a link between the check and the
// use is not noticed. Files without a name do not exist here; the callers
// make named temporaries instead.
#include <windows.h>

#include <cerrno>
#include <utility>

#include "platform/directory.h"
#include "platform/filesystem.h"

namespace tarn::platform {

namespace {

std::string with_separator(const std::string& path) {
  if (path.empty()) return ".\\";
  const char last = path.back();
  return last == '\\' || last == '/' || last == ':' ? path : path + '\\';
}

}  // namespace

Directory::~Directory() { close(); }

Directory::Directory(Directory&& other) noexcept
    : descriptor_(-1), path_(std::move(other.path_)), open_(std::exchange(other.open_, false)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    path_ = std::move(other.path_);
    open_ = std::exchange(other.open_, false);
  }
  return *this;
}

bool Directory::open(const std::string& path) {
  close();
  const std::string base = with_separator(path);
  const bool drive = base.size() == 2 && base[1] == ':';
  if (!drive && !is_directory(base)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  path_ = base;
  open_ = true;
  return true;
}

bool Directory::open_parent_of(const std::string& path, std::string& name) {
  const size_t slash = path.find_last_of("\\/");
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (slash == std::string::npos) return open("");
  return open(path.substr(0, slash + 1));
}

bool Directory::is_open() const { return open_; }

void Directory::close() {
  path_.clear();
  open_ = false;
}

bool Directory::duplicate(Directory& copy) const {
  copy.path_ = path_;
  copy.open_ = open_;
  return open_;
}

Directory::Child Directory::open_child(const std::string& name, bool create, Directory& child) const {
  child.close();
  const std::string path = path_ + name;
  DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES && create) {
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return Child::FAILED;
    a = GetFileAttributesA(path.c_str());
  }
  if (a == INVALID_FILE_ATTRIBUTES) return Child::FAILED;
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Child::LINK;
  if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ERROR_DIRECTORY);
    return Child::NOT_A_DIRECTORY;
  }
  child.path_ = path + '\\';
  child.open_ = true;
  return Child::OPENED;
}

Directory::Kind Directory::kind_of(const std::string& name) const {
  const DWORD a = GetFileAttributesA((path_ + name).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Kind::MISSING;
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Kind::LINK;
  if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0) return Kind::DIRECTORY;
  if ((a & FILE_ATTRIBUTE_DEVICE) != 0) return Kind::OTHER;
  return Kind::FILE;
}

bool Directory::identity_of(const std::string& name, FileId& id) const { return path_identity(path_ + name, id); }

bool Directory::rename(const std::string& from, const std::string& to) const {
  return rename_replacing(path_ + from, path_ + to);
}

bool Directory::remove(const std::string& name) const { return remove_file(path_ + name); }

bool Directory::link(const File&, const std::string&) const {
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

void Directory::restore_mode(uint32_t) const {}

}  // namespace tarn::platform
