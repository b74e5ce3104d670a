#include "archive/display_name.h"

namespace tarn {

namespace {

#ifdef _WIN32
// Windows names are bytes of the ANSI code page: every byte is a character,
// and the field is remapped from code page 1251 to the console's 866.
bool starts_character(char) { return true; }

std::string map_for_console(std::string field) {
  for (char& c : field) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && b <= 0xEF) c = static_cast<char>(b - 0x40);
    else if (b >= 0xF0) c = static_cast<char>(b - 0x10);
  }
  return field;
}
#else
// Terminals are UTF-8: characters are counted, bytes never remapped.
bool starts_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

std::string map_for_console(std::string field) { return field; }
#endif

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
    return map_for_console("..." + name.substr(pos));
  }
  return map_for_console(name + std::string(width - length, ' '));
}

}  // namespace tarn
