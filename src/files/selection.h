// File selection: wildcard arguments and "@" list files to FileEntry records.
//
// A wildcard is split at its last backslash into a directory prefix (kept
// exactly as typed, wildcards not allowed there) and a name mask. The files
// of the directory that match the mask are added; with recurse, every
// subdirectory is visited depth first with the same mask (and recorded as an
// entry of its own with store_directories). A list file holds one wildcard
// per line; a line may name a further list file. Files that cannot be opened
// are left out silently, and so are files named as this program names its
// temporaries (another run may be writing one there).
//
// On POSIX both "/" and "\" typed by the user separate directories: they are
// turned into "\" when read, which is the stored form.
#pragma once

#include <string>
#include <vector>

#include "files/file_list.h"
#include "platform/file.h"

namespace tarn {

struct SelectionOptions {
  bool recurse = false;
  bool store_directories = false;
};

class FileSelector {
 public:
  FileSelector(FileList& list, SelectionOptions options) : list_(list), options_(options) {}

  // The archive being written (and the archive it will replace) is never
  // selected: where the OS has no sharing modes to keep it from being
  // opened, it is recognised by its identity instead.
  void exclude(const platform::FileId& id) { excluded_.push_back(id); }

  // A wildcard, or "@" and the name of a list file of them.
  void expand_wildcard(const std::string& arg);

 private:
  void scan_directory();
  void add_file_entry(const std::string& found_name, uint32_t attributes, uint64_t size, int64_t mtime);

  FileList& list_;
  SelectionOptions options_;
  std::string current_dir_;  // empty, or ends with a backslash
  std::string name_mask_;
  std::vector<platform::FileId> excluded_;
};

// The typed separators turned into the stored one.
std::string to_stored_separators(std::string text);

}  // namespace tarn
