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

bool is_c0_control(unsigned char b) { return b < 0x20 || b == 0x7F; }

// The length of the well-formed UTF-8 sequence of two to four bytes that
// starts at `at`, or 0 when none does.
size_t sequence_length(const std::string& s, size_t at) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[at + k]); };
  const unsigned char lead = byte(0);
  size_t n = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - at < n || byte(1) < low || byte(1) > high) return 0;
  for (size_t k = 2; k < n; ++k)
    if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::string printable_name(const std::string& name, bool code_page) {
  std::string shown;
  shown.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const auto b = static_cast<unsigned char>(name[i]);
    if (is_c0_control(b)) {
      shown += '?';
      ++i;
    } else if (b < 0x80 || code_page) {
      shown += name[i++];
    } else if (const size_t n = sequence_length(name, i); n > 0) {
      const bool c1 = n == 2 && b == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0;
      shown += c1 ? std::string("?") : name.substr(i, n);
      i += n;
    } else {
      shown += b < 0xA0 ? '?' : name[i];
      ++i;
    }
  }
  return shown;
}

std::string printable_name(const std::string& name) {
  return printable_name(name, platform::console_uses_code_page());
}

std::string format_display_name(const std::string& name, size_t width) {
  const bool code_page = platform::console_uses_code_page();
  const std::string shown = printable_name(name, code_page);
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
