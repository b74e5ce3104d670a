// Reading a list file byte by byte (see list_file.h).
#include "files/list_file.h"

#include <algorithm>
#include <vector>

#include "common/error.h"
#include "files/selection.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

namespace {

// How deep list files may nest: the first one named on the command line is
// 1. Deeper than anyone writes by hand, and shallow enough that a chain of
// generated files cannot use up the stack (each level keeps a file and its
// buffer open).
constexpr size_t LIST_FILE_DEPTH_LIMIT = 16;

// `open` holds the identities of the list files being read, outermost
// first: one that is among them again would be read for ever.
void read_nested(const std::string& name, std::vector<platform::FileId>& open,
                 const std::function<void(const std::string&)>& each_line) {
  platform::File file;
  const std::string path = platform::native_path(to_stored_separators(name));
  if (open.size() >= LIST_FILE_DEPTH_LIMIT)
    raise_error(ErrorCode::INCORRECT_REQUEST,
                path + ": list files nested more than " + std::to_string(LIST_FILE_DEPTH_LIMIT) + " deep");
  if (!file.open_read(path)) raise_error(ErrorCode::IO_ERROR, path + ": " + file.error());
  platform::FileId id;
  if (file.identity(id)) {
    if (std::find(open.begin(), open.end(), id) != open.end())
      raise_error(ErrorCode::INCORRECT_REQUEST,
                  path + ": a list file that is already being read (it includes itself, directly or through others)");
    open.push_back(id);
  } else {
    open.push_back(platform::FileId{});  // counts towards the depth all the same
  }
  std::string line;
  for (;;) {
    const int c = file.get_byte();
    if (c < 0 || c == '\n' || c == '\r') {
      if (!line.empty() && line[0] == '@') {
        read_nested(line.substr(1), open, each_line);
      } else if (!line.empty()) {
        each_line(line);
      }
      line.clear();
      if (c < 0) break;
    } else {
      line += static_cast<char>(c);
    }
  }
  open.pop_back();
}

}  // namespace

void read_list_file(const std::string& name, const std::function<void(const std::string&)>& each_line) {
  std::vector<platform::FileId> open;
  read_nested(name, open, each_line);
}

}  // namespace tarn
