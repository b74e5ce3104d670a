// The one pattern of the names this program gives its temporaries, the same
// on every system: ".tarnc-", twelve lowercase hexadecimal digits, ".tmp".
#include "platform/filesystem.h"

namespace tarn::platform {

bool is_temporary_name(const std::string& name) {
  static constexpr char PREFIX[] = ".tarnc-";
  static constexpr char SUFFIX[] = ".tmp";
  constexpr size_t prefix = sizeof PREFIX - 1, suffix = sizeof SUFFIX - 1, digits = 12;
  if (name.size() != prefix + digits + suffix || name.compare(0, prefix, PREFIX) != 0 ||
      name.compare(prefix + digits, suffix, SUFFIX) != 0)
    return false;
  for (size_t i = prefix; i < prefix + digits; ++i)
    if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
  return true;
}

}  // namespace tarn::platform
