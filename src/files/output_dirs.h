// Creation of the directories on an output path, outermost first.
//
// Paths here are in the stored form (backslash-separated); they are turned
// into the OS's form only for the OS calls. Only the part before the last
// backslash is considered, so a path for a directory entry ends with "\".
#pragma once

#include <string>

namespace tarn {

// 0 on success, 1 when a needed directory cannot be created.
int make_path_directories(const std::string& path);
int make_directory_prefix(const std::string& path, size_t n);
// True for a drive designator ("X:") and an existing directory.
bool is_existing_directory(const std::string& path);
// Position of the last backslash, or std::string::npos.
size_t find_last_backslash(const std::string& path);

}  // namespace tarn
