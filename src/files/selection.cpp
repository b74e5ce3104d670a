// Wildcard expansion, list files and the directory walk (see selection.h).
#include "files/selection.h"

#include <algorithm>

#include "common/error.h"
#include "files/list_file.h"
#include "platform/dos_time.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/name_mask.h"

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
  reached_ = 0;
  scan_directory();
  if (reached_ == 0) events_.left_out(arg, LeftOutReason::NO_MATCH, "");
}

// Each file or directory is told once, however many wildcards reach it.
void FileSelector::left_out(const std::string& found_name, LeftOutReason why, const std::string& reason,
                            bool reached) {
  if (reached) ++reached_;
  // The directory in the system's form, the name as it is (a backslash too).
  const std::string directory = current_dir_.empty() && found_name.empty() ? "." : platform::native_path(current_dir_);
  const std::string path = directory + found_name;
  if (told_.insert(path).second) events_.left_out(path, why, reason);
}

// A name that holds the separator would be stored as a path of directories
// it does not have, and read back as another file: such a file is left out,
// a directory with everything below it.
void FileSelector::scan_directory() {
  const std::string native_dir = platform::native_path(current_dir_);
  std::vector<platform::SearchProblem> problems;
  for (const auto& found : platform::search_directory(native_dir, name_mask_, &problems)) {
    if ((found.attributes & ATTR_DIRECTORY) != 0) continue;
    // The temporaries of runs writing here now are no one's files yet.
    if (platform::is_temporary_name(found.name)) continue;
    if (found.name.find('\\') != std::string::npos)
      left_out(found.name, LeftOutReason::NAME_HOLDS_SEPARATOR, "");
    else
      add_file_entry(found.name, found.attributes, found.size, found.mtime);
  }
  for (const auto& problem : problems)
    left_out(problem.name, problem.name.empty() ? LeftOutReason::DIRECTORY_UNREADABLE : LeftOutReason::CANNOT_OPEN,
             problem.reason);
  if (!options_.recurse || (!problems.empty() && problems.front().name.empty())) return;
  problems.clear();
  for (const auto& found : platform::search_directory(native_dir, "*", &problems)) {
    if ((found.attributes & ATTR_DIRECTORY) == 0) continue;
    if (found.name.find('\\') != std::string::npos) {
      left_out(found.name, LeftOutReason::NAME_HOLDS_SEPARATOR, "", false);
      continue;
    }
    if (options_.store_directories) add_file_entry(found.name, found.attributes, 0, found.mtime);
    const std::string saved = current_dir_;
    current_dir_ += found.name;
    current_dir_ += '\\';
    scan_directory();
    current_dir_ = saved;
  }
  // Directories that could not be examined (those the mask matched were
  // told above): no file that the wildcard reached.
  for (const auto& problem : problems)
    if (problem.directory && !problem.name.empty() && !platform::name_mask_match(problem.name, name_mask_))
      left_out(problem.name, LeftOutReason::CANNOT_OPEN, problem.reason, false);
}

void FileSelector::add_file_entry(const std::string& found_name, uint32_t attributes, uint64_t size,
                                  int64_t mtime) {
  FileEntry entry;
  entry.name = current_dir_ + found_name;
  if ((attributes & ATTR_DIRECTORY) == 0) {
    platform::File probe;
    if (!probe.open_read(platform::native_path(entry.name))) {
      left_out(found_name, LeftOutReason::CANNOT_OPEN, probe.error());
      return;
    }
    platform::FileId id;
    if (!excluded_.empty() && probe.identity(id) && std::find(excluded_.begin(), excluded_.end(), id) != excluded_.end()) {
      ++reached_;  // the archive itself, never selected and needing no word
      return;
    }
  }
  ++reached_;
  if ((size >> 32) != 0)
    raise_error(ErrorCode::ARCHIVE_TOO_BIG, platform::native_path(entry.name) + ": 4 GiB or more, too big for an archive");
  entry.size = static_cast<uint32_t>(size);
  entry.attributes = attributes;
  const platform::DosDateTime stamp = platform::unix_to_dos(mtime);
  entry.dos_date = stamp.date;
  entry.dos_time = stamp.time;
  list_.push_front(std::move(entry));
}

}  // namespace tarn
