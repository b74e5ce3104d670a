// Directories held open while files are made in them.
//
// A Directory is a handle on one directory. Its subdirectories are opened
// through it one name at a time, never through a symbolic link, and files
// are created, linked, renamed and removed inside it by name, so that
// whatever happens to the directory's path while it is held (a directory of
// the path swapped with a link to elsewhere, say) changes nothing about
// where they go. On POSIX it is a descriptor and every call is one of the
// *at calls on it. On Windows it holds the directory's path and each step
// checks that path first: there the check and the use are two steps.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace tarn::platform {

class Directory {
 public:
  // What opening a subdirectory found.
  enum class Child {
    OPENED,
    LINK,             // a symbolic link (or a junction) of that name: not followed
    NOT_A_DIRECTORY,  // something else of that name
    FAILED,           // the system's reason in last_error_text()
  };
  // What a name in the directory is, links not followed.
  enum class Kind { MISSING, FILE, DIRECTORY, LINK, OTHER };

  Directory() = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens the directory `path` names (OS form; "" is the current
  // directory). Links in `path` are followed: it is the one the user chose.
  bool open(const std::string& path);
  // Opens the directory that holds the file `path` names (its part before
  // the last separator) and gives the file's name in it.
  bool open_parent_of(const std::string& path, std::string& name);
  bool is_open() const;
  void close();
  // A second handle on the same directory.
  bool duplicate(Directory& copy) const;

  // Opens the subdirectory `name` (one component) into `child`, never
  // through a link; with `create` it is made first when missing.
  Child open_child(const std::string& name, bool create, Directory& child) const;
  Kind kind_of(const std::string& name) const;
  // The identity of the file `name` leads to, a link followed; false when
  // there is none.
  bool identity_of(const std::string& name, FileId& id) const;

  // Renames `from` over `to`, both in this directory: a file or link `to`
  // is replaced (a link itself, never what it points to).
  bool rename(const std::string& from, const std::string& to) const;
  bool remove(const std::string& name) const;
  // Gives `file`, made by File::create_unnamed_in in this directory, the
  // name `name`; fails when `name` exists (no file is ever replaced here).
  bool link(const File& file, const std::string& name) const;
  // Gives the directory itself the permission bits stored with it, if any
  // (never set-id or sticky bits).
  void restore_mode(uint32_t attributes) const;

  // The descriptor (POSIX), or -1; for the platform's own calls.
  int descriptor() const { return descriptor_; }
  // The directory's path with a separator at its end (Windows), for the
  // platform's own calls; empty on POSIX.
  const std::string& path() const { return path_; }

 private:
  int descriptor_ = -1;
  std::string path_;
  bool open_ = false;
};

}  // namespace tarn::platform
