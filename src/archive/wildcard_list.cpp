// wildcard_match: a run of "*" is tried against the rest of the name from
// the current position, then one character further, up to the end of the
// name; the first success wins.
#include "archive/wildcard_list.h"

#include "files/list_file.h"
#include "files/selection.h"

namespace tarn {

bool wildcard_match(std::string_view name, std::string_view pattern) {
  size_t n = 0;
  size_t p = 0;
  while (p < pattern.size()) {
    if (pattern[p] == '*') {
      while (p < pattern.size() && pattern[p] == '*') ++p;
      if (p == pattern.size()) return true;
      for (size_t k = n; k <= name.size(); ++k) {
        if (wildcard_match(name.substr(k), pattern.substr(p))) return true;
      }
      return false;
    }
    if (n == name.size()) return false;
    if (pattern[p] != '?' && pattern[p] != name[n]) return false;
    ++n;
    ++p;
  }
  return n == name.size();
}

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
