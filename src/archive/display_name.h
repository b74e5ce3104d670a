// File names as fixed-width console fields.
//
// format_display_name gives exactly `width` characters: a name longer than
// that shows as "..." and its last width-3 characters, a shorter one is
// padded with spaces. What a character is follows the console. On POSIX,
// terminals are UTF-8: characters are counted, not bytes, so a UTF-8
// sequence is never cut in half (a byte that is not a UTF-8 continuation
// byte starts a character), and no byte is remapped. On Windows a name is
// bytes of the ANSI code page, one character each, and the field is
// remapped from code page 1251 to the console's 866.
#pragma once

#include <string>

namespace tarn {

std::string format_display_name(const std::string& name, size_t width);

}  // namespace tarn
