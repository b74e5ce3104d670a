#include "archive/safe_path.h"

#include <cctype>

namespace tarn {

std::string make_safe_relative_name(const std::string& name) {
  std::string result;
  size_t pos = 0;
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) pos = 2;
  while (pos <= name.size()) {
    size_t end = name.find_first_of("\\/", pos);
    if (end == std::string::npos) end = name.size();
    const std::string component = name.substr(pos, end - pos);
    if (!component.empty() && component != "." && component != "..") {
      if (!result.empty()) result += '\\';
      result += component;
    }
    pos = end + 1;
  }
  return result;
}

}  // namespace tarn
