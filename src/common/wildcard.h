// Matching names against patterns with "*" and "?".
//
// "*" matches any run of characters (the empty one included), "?" any one
// character, every other character itself, byte for byte (case matters;
// "\" and "/" are ordinary characters). The extraction selector and the
// directory search both use it.
//
// A run of "*" is tried against the rest of the name from the current
// position, then one character further, and so on; the first success
// wins. Only the last "*" met ever needs to be resumed -- whatever an
// earlier one would try next, the later one can absorb -- so one resume
// point suffices, and a match costs at most the name's length times the
// pattern's, never the exponential time of trying every split.
#pragma once

#include <string_view>

namespace tarn {

bool wildcard_match(std::string_view name, std::string_view pattern);

}  // namespace tarn
