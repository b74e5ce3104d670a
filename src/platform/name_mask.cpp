// The directory search's name mask is the common wildcard match, plus the
// DOS idiom "*.*", which matches every name, also names without a dot.
#include "platform/name_mask.h"

#include "common/wildcard.h"

namespace tarn::platform {

bool name_mask_match(std::string_view name, std::string_view mask) {
  return mask == "*.*" || wildcard_match(name, mask);
}

}  // namespace tarn::platform
