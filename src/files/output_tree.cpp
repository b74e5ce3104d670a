// make_directory_prefix finds the longest prefix that exists, walking back
// one backslash at a time, then creates the missing directories on the way
// in. It works in place on the path, so a name of thousands of components
// costs time linear in its length and no stack. A directory that exists is
// never created again; nothing is removed when a later step fails. The
// empty prefix of a rooted path stands for the root, which exists.
#include "files/output_tree.h"

#include <cctype>
#include <utility>
#include <vector>

#include "common/error.h"
#include "files/selection.h"
#include "platform/filesystem.h"

namespace tarn {

size_t find_last_backslash(const std::string& path) { return path.rfind('\\'); }

bool is_existing_directory(const std::string& path) {
  if (path.size() == 2 && path[1] == ':') return true;
  if (path.empty()) return true;  // the root of a path that begins with "\"
  return platform::is_directory(platform::native_path(path));
}

int make_directory_prefix(const std::string& path, size_t n) {
  std::string failed;
  return make_directory_prefix(path, n, failed);
}

int make_directory_prefix(const std::string& path, size_t n, std::string& failed) {
  // Ends of the prefixes that are missing, longest first.
  std::vector<size_t> missing;
  size_t end = n;
  for (;;) {
    const std::string prefix = path.substr(0, end);
    if (is_existing_directory(prefix)) break;
    missing.push_back(end);
    const size_t slash = find_last_backslash(prefix);
    if (slash == std::string::npos) break;
    end = slash;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    const std::string directory = platform::native_path(path.substr(0, *it));
    if (!platform::create_directory(directory)) {
      failed = directory + ": " + platform::last_error_text();
      return 1;
    }
  }
  return 0;
}

int make_path_directories(const std::string& path) {
  const size_t slash = find_last_backslash(path);
  if (slash == std::string::npos) return 0;  // no directory part
  return make_directory_prefix(path, slash);
}

std::string make_safe_relative_name(const std::string& name) {
  std::string result;
  size_t pos = 0;
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) pos = 2;
  while (pos <= name.size()) {
    size_t end = name.find_first_of("\\/", pos);
    if (end == std::string::npos) end = name.size();
    const size_t length = end - pos;
    const bool dots = (length == 1 && name[pos] == '.') || (length == 2 && name.compare(pos, 2, "..") == 0);
    if (length > 0 && !dots) {
      if (!result.empty()) result += '\\';
      result.append(name, pos, length);
    }
    pos = end + 1;
  }
  return result;
}

OutputTree::OutputTree(const std::string& output_dir) : prefix_(to_stored_separators(output_dir)) {
  if (prefix_.empty() || prefix_.back() != '\\') prefix_ += '\\';
}

OutputTarget OutputTree::target_for(const std::string& name, bool keep_paths) const {
  OutputTarget target;
  target.asked = name;
  if (!keep_paths) {
    const size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) target.asked = name.substr(slash + 1);
  }
  target.relative = make_safe_relative_name(target.asked);
  target.path = prefix_ + target.relative;
  return target;
}

const platform::Directory& OutputTree::root() {
  if (root_.is_open()) return root_;
  // The output directory as the user named it: links in it are theirs.
  std::string failed;
  if (make_directory_prefix(prefix_, prefix_.size() - 1, failed) != 0) raise_error(ErrorCode::IO_ERROR, failed);
  const std::string native = platform::native_path(prefix_);
  if (!root_.open(native)) raise_error(ErrorCode::IO_ERROR, native + ": " + platform::last_error_text());
  return root_;
}

bool OutputTree::walk(const std::string& relative, size_t end, platform::Directory& directory, std::string& link) {
  if (!root().duplicate(directory))
    raise_error(ErrorCode::IO_ERROR, platform::native_path(prefix_) + ": " + platform::last_error_text());
  platform::Directory child;
  for (size_t start = 0; start < end;) {
    size_t stop = relative.find('\\', start);
    if (stop == std::string::npos || stop > end) stop = end;
    const std::string name = relative.substr(start, stop - start);
    switch (directory.open_child(name, true, child)) {
      case platform::Directory::Child::OPENED:
        directory = std::move(child);
        break;
      case platform::Directory::Child::LINK:
        link = prefix_ + relative.substr(0, stop);
        directory.close();
        return false;
      case platform::Directory::Child::NOT_A_DIRECTORY:
      case platform::Directory::Child::FAILED:
        raise_error(ErrorCode::IO_ERROR,
                    platform::native_path(prefix_ + relative.substr(0, stop)) + ": " + platform::last_error_text());
    }
    start = stop + 1;
  }
  return true;
}

bool OutputTree::open_directory(const std::string& relative, platform::Directory& directory, std::string& link) {
  return walk(relative, relative.size(), directory, link);
}

bool OutputTree::open_parent(const std::string& relative, platform::Directory& directory, std::string& name,
                             std::string& link) {
  const size_t slash = find_last_backslash(relative);
  name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  return walk(relative, slash == std::string::npos ? 0 : slash, directory, link);
}

}  // namespace tarn
