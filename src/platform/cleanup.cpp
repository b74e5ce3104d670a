// The list of temporaries, shared by the POSIX and Win32 signal handlers: a
// fixed table of atomic pointers to path strings. Adding stores a complete
// string in a free slot with one atomic operation, taking exchanges it out
// before freeing it, so a handler that only reads always finds either
// nothing or a whole path.
#include "platform/cleanup.h"

#include <cstdlib>
#include <cstring>

namespace tarn::platform {

std::atomic<char*> g_temporaries[TEMPORARY_SLOTS];

int remember_temporary(const std::string& path) {
  char* copy = static_cast<char*>(std::malloc(path.size() + 1));
  if (copy == nullptr) return -1;
  std::memcpy(copy, path.c_str(), path.size() + 1);
  for (int i = 0; i < TEMPORARY_SLOTS; ++i) {
    char* expected = nullptr;
    if (g_temporaries[i].compare_exchange_strong(expected, copy)) return i;
  }
  std::free(copy);
  return -1;
}

void forget_temporary(int ticket) {
  if (ticket < 0 || ticket >= TEMPORARY_SLOTS) return;
  std::free(g_temporaries[ticket].exchange(nullptr));
}

}  // namespace tarn::platform
