#include "files/wildcard_list.h"

#include "common/wildcard.h"
#include "files/list_file.h"
#include "files/selection.h"

namespace tarn {

void WildcardList::add_extract_wildcard(const std::string& arg) {
  if (arg.empty() || arg[0] != '@') {
    patterns_.push_back(to_stored_separators(arg));
    return;
  }
  read_list_file(arg.substr(1), [this](const std::string& line) { add_extract_wildcard(line); });
}

bool WildcardList::entry_selected(const std::string& name) const {
  for (const std::string& pattern : patterns_) {
    if (wildcard_match(name, pattern)) return true;
  }
  return false;
}

}  // namespace tarn
