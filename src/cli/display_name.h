// File names as the console shows them.
//
// format_display_name gives a field of exactly `width` characters: a name
// longer than that shows as "..." and its last width-3 characters, a shorter
// one is padded with spaces. Characters are counted, not bytes, where the
// console reads UTF-8, so a sequence is never cut in half. Where the console
// uses a code page (Windows), every byte is a character and the field is
// remapped from code page 1251 to the console's 866, as the format's
// listing expects.
//
// A name may hold any byte, so everything printed shows control bytes
// (0x00-0x1F, 0x7F) as "?": an archive cannot send escape sequences to the
// terminal. The stored name and the file written keep them.
#pragma once

#include <string>

namespace tarn {

std::string format_display_name(const std::string& name, size_t width);

// The name with every control byte replaced by "?".
std::string printable_name(const std::string& name);

}  // namespace tarn
