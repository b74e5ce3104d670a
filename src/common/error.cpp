#include "common/error.h"

namespace tarn {

const char* error_message(ErrorCode code) {
  static const char* const MESSAGES[] = {
      "I/O error",
      "Memory allocation error!",
      "Unexpected end of file!",
      "Cannot open archive!",
      "Incorrect request!",
      "Archive too big (max. 2 Gb)!",
      "Nothing to do!",
      "Unable to append SFX code!",
      "SFX code too big!",
      "Not a Tarn archive!",
      "Archive created with other Tarn version!",
      "Header damage encountered!",
  };
  auto index = static_cast<unsigned>(code);
  return index < sizeof(MESSAGES) / sizeof(MESSAGES[0]) ? MESSAGES[index] : "I/O error";
}

}  // namespace tarn
