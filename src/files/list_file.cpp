// Reading a list file byte by byte (see list_file.h).
#include "files/list_file.h"

#include "common/error.h"
#include "files/selection.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

void read_list_file(const std::string& name, const std::function<void(const std::string&)>& each_line) {
  platform::File file;
  const std::string path = platform::native_path(to_stored_separators(name));
  if (!file.open_read(path)) raise_error(ErrorCode::IO_ERROR, path + ": " + file.error());
  std::string line;
  for (;;) {
    const int c = file.get_byte();
    if (c < 0 || c == '\n' || c == '\r') {
      if (!line.empty()) each_line(line);
      line.clear();
      if (c < 0) break;
    } else {
      line += static_cast<char>(c);
    }
  }
}

}  // namespace tarn
