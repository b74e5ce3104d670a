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
// A name may hold any byte, so every name printed, on standard output and
// in the notes on standard error alike, goes through printable_name: it
// shows each control character as one "?", so that an archive cannot send
// escape sequences to the terminal. Control characters are the bytes
// 0x00-0x1F and 0x7F and, where the console reads UTF-8, the C1 controls
// U+0080-U+009F (0xC2 0x80-0x9F, such as CSI and OSC) and any byte
// 0x80-0x9F that belongs to no well-formed sequence (which a console in an
// 8-bit mode would take for a C1 control). A "?" counts as one character, as
// the character it replaces does; other bytes are left as they are. Where
// the console uses a code page, 0x80-0x9F are letters of it and are kept.
// The stored name and the file written keep every byte.
#pragma once

#include <string>

namespace tarn {

std::string format_display_name(const std::string& name, size_t width);

// The name with every control character replaced by "?". Also used on a
// whole line of text that holds names (a note, an error's detail); printing
// its result again changes nothing.
std::string printable_name(const std::string& name);

// The same for a console that reads UTF-8 (false) or uses a code page (true).
std::string printable_name(const std::string& name, bool code_page);

}  // namespace tarn
