#include "cli/display_name.h"

#include "platform/filesystem.h"

namespace tarn {

namespace {

bool starts_character(char c, bool code_page) {
  return code_page || (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

size_t count_characters(const std::string& s, bool code_page) {
  size_t n = 0;
  for (char c : s) n += starts_character(c, code_page) ? 1 : 0;
  return n;
}

// Cyrillic of code page 1251 to its place in code page 866.
std::string map_to_console_code_page(std::string field) {
  for (char& c : field) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && b <= 0xEF) c = static_cast<char>(b - 0x40);
    else if (b >= 0xF0) c = static_cast<char>(b - 0x10);
  }
  return field;
}

}  // namespace

std::string printable_name(const std::string& name) {
  std::string shown = name;
  for (char& c : shown) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) c = '?';
  }
  return shown;
}

std::string format_display_name(const std::string& name, size_t width) {
  const bool code_page = platform::console_uses_code_page();
  const std::string shown = printable_name(name);
  const size_t length = count_characters(shown, code_page);
  std::string field;
  if (length > width) {
    // Keep the last width-3 characters: find where the first of them starts.
    size_t skip = length - (width - 3);
    size_t pos = 0;
    while (pos < shown.size()) {
      if (starts_character(shown[pos], code_page)) {
        if (skip == 0) break;
        --skip;
      }
      ++pos;
    }
    field = "..." + shown.substr(pos);
  } else {
    field = shown + std::string(width - length, ' ');
  }
  return code_page ? map_to_console_code_page(field) : field;
}

}  // namespace tarn
