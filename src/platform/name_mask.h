// The name mask of the directory search: "*" matches any run of characters,
// "?" exactly one, everything else itself, byte for byte (case-sensitive).
// The DOS idiom "*.*" matches every name, also names without a dot.
#pragma once

#include <string_view>

namespace tarn::platform {

bool name_mask_match(std::string_view name, std::string_view mask);

}  // namespace tarn::platform
