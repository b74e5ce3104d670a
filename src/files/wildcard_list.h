// The patterns that select entries for extraction and test.
//
// Each argument is one pattern, or "@" and the name of a list file whose
// non-empty lines are arguments in turn (so list files nest). Patterns are
// matched against the stored names byte for byte: "*" matches any run of
// characters (also across "\"), "?" any one character, case matters.
#pragma once

#include <string>
#include <vector>

namespace tarn {

class WildcardList {
 public:
  // Raises IO_ERROR when a list file cannot be opened.
  void add_extract_wildcard(const std::string& arg);
  bool entry_selected(const std::string& name) const;
  bool empty() const { return patterns_.empty(); }
  void clear() { patterns_.clear(); }

 private:
  std::vector<std::string> patterns_;
};

}  // namespace tarn
