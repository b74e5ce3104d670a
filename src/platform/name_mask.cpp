// Matching of directory-search masks. A run of "*" is tried against every
// possible rest of the name, shortest first; the recursion depth is bounded
// by the number of "*" runs in the mask.
#include "platform/name_mask.h"

namespace tarn::platform {

bool name_mask_match(std::string_view name, std::string_view mask) {
  if (mask == "*.*") return true;
  size_t n = 0;
  size_t m = 0;
  while (m < mask.size()) {
    const char c = mask[m];
    if (c == '*') {
      while (m < mask.size() && mask[m] == '*') ++m;
      if (m == mask.size()) return true;
      for (size_t k = n; k <= name.size(); ++k) {
        if (name_mask_match(name.substr(k), mask.substr(m))) return true;
      }
      return false;
    }
    if (n == name.size()) return false;
    if (c != '?' && c != name[n]) return false;
    ++n;
    ++m;
  }
  return n == name.size();
}

}  // namespace tarn::platform
