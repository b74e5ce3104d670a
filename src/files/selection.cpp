// Wildcard expansion, list files and the directory walk (see selection.h).
#include "files/selection.h"

#include <algorithm>

#include "common/error.h"
#include "files/list_file.h"
#include "platform/dos_time.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

std::string to_stored_separators(std::string text) {
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

void FileSelector::expand_wildcard(const std::string& arg) {
  if (!arg.empty() && arg[0] == '@') {
    // The lines are expanded as they are read, like the format says.
    read_list_file(arg.substr(1), [this](const std::string& line) { expand_wildcard(line); });
    return;
  }
  std::string text = to_stored_separators(arg);
  if (!text.empty() && text.back() == '\\') text += '*';
  const size_t slash = text.rfind('\\');
  if (slash == std::string::npos) {
    name_mask_ = text;
    current_dir_.clear();
  } else {
    name_mask_ = text.substr(slash + 1);
    current_dir_ = text.substr(0, slash + 1);
  }
  if (current_dir_.find_first_of("*?") != std::string::npos) raise_error(ErrorCode::INCORRECT_REQUEST);
  scan_directory();
}

void FileSelector::scan_directory() {
  const std::string native_dir = platform::native_path(current_dir_);
  for (const auto& found : platform::search_directory(native_dir, name_mask_)) {
    // The temporaries of runs writing here now are no one's files yet.
    if ((found.attributes & ATTR_DIRECTORY) == 0 && !platform::is_temporary_name(found.name))
      add_file_entry(found.name, found.attributes, found.size, found.mtime);
  }
  if (!options_.recurse) return;
  for (const auto& found : platform::search_directory(native_dir, "*")) {
    if ((found.attributes & ATTR_DIRECTORY) == 0) continue;
    if (options_.store_directories) add_file_entry(found.name, found.attributes, 0, found.mtime);
    const std::string saved = current_dir_;
    current_dir_ += found.name;
    current_dir_ += '\\';
    scan_directory();
    current_dir_ = saved;
  }
}

void FileSelector::add_file_entry(const std::string& found_name, uint32_t attributes, uint64_t size,
                                  int64_t mtime) {
  FileEntry entry;
  entry.name = current_dir_ + found_name;
  if ((attributes & ATTR_DIRECTORY) == 0) {
    platform::File probe;
    if (!probe.open_read(platform::native_path(entry.name))) return;  // left out silently
    platform::FileId id;
    if (!excluded_.empty() && probe.identity(id) && std::find(excluded_.begin(), excluded_.end(), id) != excluded_.end())
      return;
  }
  if ((size >> 32) != 0) raise_error(ErrorCode::ARCHIVE_TOO_BIG);
  entry.size = static_cast<uint32_t>(size);
  entry.attributes = attributes;
  const platform::DosDateTime stamp = platform::unix_to_dos(mtime);
  entry.dos_date = stamp.date;
  entry.dos_time = stamp.time;
  list_.push_front(std::move(entry));
}

}  // namespace tarn
