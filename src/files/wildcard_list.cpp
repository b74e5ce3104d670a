#include "files/wildcard_list.h"

#include "common/error.h"
#include "common/wildcard.h"
#include "files/selection.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace tarn {

void WildcardList::add_extract_wildcard(const std::string& arg) {
  if (arg.empty() || arg[0] != '@') {
    patterns_.push_back(to_stored_separators(arg));
    return;
  }
  platform::File file;
  if (!file.open_read(platform::native_path(to_stored_separators(arg.substr(1)))))
    raise_error(ErrorCode::IO_ERROR, platform::native_path(to_stored_separators(arg.substr(1))) + ": " + file.error());
  std::string line;
  for (;;) {
    const int c = file.get_byte();
    if (c < 0 || c == '\n' || c == '\r') {
      if (!line.empty()) add_extract_wildcard(line);
      line.clear();
      if (c < 0) break;
    } else {
      line += static_cast<char>(c);
    }
  }
}

bool WildcardList::entry_selected(const std::string& name) const {
  for (const std::string& pattern : patterns_) {
    if (wildcard_match(name, pattern)) return true;
  }
  return false;
}

}  // namespace tarn
