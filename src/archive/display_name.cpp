#include "archive/display_name.h"

namespace tarn {

namespace {

bool starts_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

size_t count_characters(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += starts_character(c) ? 1 : 0;
  return n;
}

}  // namespace

std::string format_display_name(const std::string& name, size_t width) {
  const size_t length = count_characters(name);
  if (length > width) {
    // Keep the last width-3 characters: find where the first of them starts.
    size_t skip = length - (width - 3);
    size_t pos = 0;
    while (pos < name.size()) {
      if (starts_character(name[pos])) {
        if (skip == 0) break;
        --skip;
      }
      ++pos;
    }
    return "..." + name.substr(pos);
  }
  return name + std::string(width - length, ' ');
}

}  // namespace tarn
