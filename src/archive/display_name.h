// File names as fixed-width console fields.
//
// format_display_name gives exactly `width` characters: a name longer than
// that shows as "..." and its last width-3 characters, a shorter one is
// padded with spaces. Characters are counted, not bytes, so a UTF-8 sequence
// is never cut in half (a byte that is not a UTF-8 continuation byte starts
// a character). Terminals here are UTF-8, so the bytes are not remapped to
// a console code page.
#pragma once

#include <string>

namespace tarn {

std::string format_display_name(const std::string& name, size_t width);

}  // namespace tarn
