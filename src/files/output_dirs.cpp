// make_directory_prefix walks back from the longest missing prefix to the
// first one that exists and creates the missing directories on the way in.
// A directory that exists is never created again; nothing is removed when a
// later step fails. The empty prefix of a rooted path stands for the root,
// which exists.
#include "files/output_dirs.h"

#include "platform/filesystem.h"

namespace tarn {

size_t find_last_backslash(const std::string& path) { return path.rfind('\\'); }

bool is_existing_directory(const std::string& path) {
  if (path.size() == 2 && path[1] == ':') return true;
  if (path.empty()) return true;  // the root of a path that begins with "\"
  return platform::is_directory(platform::native_path(path));
}

int make_directory_prefix(const std::string& path, size_t n) {
  const std::string prefix = path.substr(0, n);
  if (is_existing_directory(prefix)) return 0;
  const size_t slash = find_last_backslash(prefix);
  if (slash != std::string::npos) {
    if (make_directory_prefix(path, slash) != 0) return 1;
  }
  return platform::create_directory(platform::native_path(prefix)) ? 0 : 1;
}

int make_path_directories(const std::string& path) {
  const size_t slash = find_last_backslash(path);
  if (slash == std::string::npos) return 0;  // no directory part
  return make_directory_prefix(path, slash);
}

}  // namespace tarn
