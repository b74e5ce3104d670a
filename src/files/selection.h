// File selection: wildcard arguments and "@" list files to FileEntry records.
//
// A wildcard is split at its last backslash into a directory prefix (kept
// exactly as typed, wildcards not allowed there) and a name mask. The files
// of the directory that match the mask are added; with recurse, every
// subdirectory is visited depth first with the same mask (and recorded as an
// entry of its own with store_directories). A list file holds one wildcard
// per line; a line may name a further list file. A file that cannot be
// opened or stored is left out, and so is a directory that cannot be read,
// each told to the SelectionEvents with its reason, as is a wildcard that
// reaches no file at all. Files named as this program names its temporaries
// are left out silently (another run may be writing one there).
//
// On POSIX both "/" and "\" typed by the user separate directories: they are
// turned into "\" when read, which is the stored form.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "files/file_list.h"
#include "platform/file.h"

namespace tarn {

// Why something the wildcards reached is not selected.
enum class LeftOutReason {
  NAME_HOLDS_SEPARATOR,  // its name holds a backslash, the separator inside archives
  CANNOT_OPEN,           // a file that cannot be opened or examined (a path too long, say)
  DIRECTORY_UNREADABLE,  // a directory whose files cannot be listed
  NO_MATCH,              // a wildcard that reached no file
};

// What selection tells the user about; by default nothing.
class SelectionEvents {
 public:
  virtual ~SelectionEvents() = default;
  // `name` is the file or directory in the system's form, or the wildcard as
  // typed; `reason` the system's, where there is one.
  virtual void left_out(const std::string& /*name*/, LeftOutReason /*why*/, const std::string& /*reason*/) {}
};

struct SelectionOptions {
  bool recurse = false;
  bool store_directories = false;
};

class FileSelector {
 public:
  FileSelector(FileList& list, SelectionOptions options, SelectionEvents* events = nullptr)
      : list_(list), options_(options), events_(events != nullptr ? *events : quiet_) {}

  // The archive being written (and the archive it will replace) is never
  // selected: where the OS has no sharing modes to keep it from being
  // opened, it is recognised by its identity instead.
  void exclude(const platform::FileId& id) { excluded_.push_back(id); }

  // A wildcard, or "@" and the name of a list file of them.
  void expand_wildcard(const std::string& arg);

 private:
  void scan_directory();
  void add_file_entry(const std::string& found_name, uint32_t attributes, uint64_t size, int64_t mtime);
  void left_out(const std::string& found_name, LeftOutReason why, const std::string& reason, bool reached = true);

  FileList& list_;
  SelectionOptions options_;
  SelectionEvents quiet_;
  SelectionEvents& events_;
  uint64_t reached_ = 0;  // files the current wildcard reached, selected or left out
  std::set<std::string> told_;  // what was left out, in the system's form
  std::string current_dir_;  // empty, or ends with a backslash
  std::string name_mask_;
  std::vector<platform::FileId> excluded_;
};

// The typed separators turned into the stored one.
std::string to_stored_separators(std::string text);

}  // namespace tarn
