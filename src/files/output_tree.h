// The output directory of an extraction and everything written below it.
//
// Paths here are in the stored form (backslash-separated); they are turned
// into the OS's form only for the OS calls. A stored name is made safe
// before it is joined to the output prefix: drive designators ("X:"),
// leading separators and "." and ".." components are dropped, and both "\"
// and "/" separate components, so that nothing is ever written outside the
// output directory.
//
// The tree is walked by directory handles (platform/directory.h): the
// output directory is opened once, by its path (made first when missing),
// and every directory below it is opened through its parent's handle one
// component at a time, never through a symbolic link, and made there when
// missing. A link anywhere on an entry's path below the output directory,
// one that stays inside it too, fails that entry (the caller notes it and
// goes on); what the path names meanwhile, a directory swapped with a link
// to elsewhere say, cannot make a file appear outside.
//
// make_path_directories and make_directory_prefix make directories by
// path, outermost first: only the part of a path before its last backslash
// is considered, so a path for a directory entry ends with "\". They serve
// the output directory itself.
#pragma once

#include <string>

#include "platform/directory.h"

namespace tarn {

// Where an entry goes: the output path, and the relative name it was joined
// as (the stored name, or its last component, made safe).
struct OutputTarget {
  std::string path;
  std::string asked;     // the stored name, or its last component
  std::string relative;  // `asked` made safe
  bool changed() const { return relative != asked; }
};

class OutputTree {
 public:
  // `output_dir` as typed ("." by default); a backslash is added when it
  // does not end in one.
  explicit OutputTree(const std::string& output_dir);

  const std::string& prefix() const { return prefix_; }

  // The output path of a stored name, with its directories (`keep_paths`)
  // or its last component only. An empty relative name (the name held only
  // drives, separators and dots) is returned as such.
  OutputTarget target_for(const std::string& name, bool keep_paths) const;

  // Opens the directory `relative` (a safe relative name, stored form; ""
  // is the output directory itself) through directory handles, making what
  // is missing. False when one of its components is a link, named then in
  // `link` (stored form, with the prefix). Raises IO_ERROR with the path and
  // the system's reason when a directory cannot be made or opened.
  bool open_directory(const std::string& relative, platform::Directory& directory, std::string& link);
  // The same for the directory that holds the entry `relative`, with the
  // entry's name in it (OS form).
  bool open_parent(const std::string& relative, platform::Directory& directory, std::string& name, std::string& link);

 private:
  // The output directory, opened (and made) on first use.
  const platform::Directory& root();
  // Walks `count` components of `relative` down from the output directory.
  bool walk(const std::string& relative, size_t end, platform::Directory& directory, std::string& link);

  std::string prefix_;
  platform::Directory root_;
};

// The safe relative name (backslash-separated); empty when nothing is left.
std::string make_safe_relative_name(const std::string& name);

// 0 on success, 1 when a needed directory cannot be created.
int make_path_directories(const std::string& path);
int make_directory_prefix(const std::string& path, size_t n);
// The same, giving the directory that could not be made and why.
int make_directory_prefix(const std::string& path, size_t n, std::string& failed);
// True for a drive designator ("X:") and an existing directory.
bool is_existing_directory(const std::string& path);
// Position of the last backslash, or std::string::npos.
size_t find_last_backslash(const std::string& path);

}  // namespace tarn
