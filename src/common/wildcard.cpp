#include "common/wildcard.h"

namespace tarn {

bool wildcard_match(std::string_view name, std::string_view pattern) {
  constexpr size_t NONE = std::string_view::npos;
  size_t n = 0;
  size_t p = 0;
  size_t star = NONE;  // the pattern position after the last "*" met
  size_t resume = 0;   // where in the name that "*" is tried next
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = ++p;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++n;
      ++p;
    } else if (star != NONE) {
      // The "*" takes one character more.
      p = star;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace tarn
