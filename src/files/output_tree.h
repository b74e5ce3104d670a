// The output directory of an extraction and everything written below it.
//
// Paths here are in the stored form (backslash-separated); they are turned
// into the OS's form only for the OS calls. A stored name is made safe
// before it is joined to the output prefix: drive designators ("X:"),
// leading separators and "." and ".." components are dropped, and both "\"
// and "/" separate components, so that nothing is ever written outside the
// output directory. An existing directory on the way that is a symbolic
// link leading out of the output directory stops the run with "I/O error".
//
// Directories are created outermost first (make_path_directories): only the
// part of a path before its last backslash is considered, so a path for a
// directory entry ends with "\".
#pragma once

#include <string>

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

  // Raises IO_ERROR when an existing directory of `path` below the prefix
  // is a link that leads outside the output directory.
  void check_no_escaping_link(const std::string& path) const;

  // Creates the missing directories of `path`; raises IO_ERROR with the
  // path and the system's reason when one cannot be created.
  void make_directories(const std::string& path) const;

 private:
  std::string prefix_;
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
