// The list of temporaries, shared by the POSIX and Win32 signal handlers: a
// fixed table of slots that each hold a directory and a name. A slot is
// claimed with one atomic operation, filled, and only then marked as
// holding a temporary; it is emptied the same way round. A handler that
// reads only the slots marked full therefore always finds a whole name, and
// no memory is ever freed under it.
#include "platform/cleanup.h"

#include <cstring>

namespace tarn::platform {

TemporarySlot g_temporaries[TEMPORARY_SLOTS];

int list_temporary(int directory, const std::string& name) {
  if (name.size() >= TEMPORARY_NAME_SIZE) return -1;
  for (int i = 0; i < TEMPORARY_SLOTS; ++i) {
    TemporarySlot& slot = g_temporaries[i];
    int expected = 0;
    if (!slot.state.compare_exchange_strong(expected, 1)) continue;
    slot.directory = directory;
    std::memcpy(slot.name, name.c_str(), name.size() + 1);
    slot.state.store(2);
    return i;
  }
  return -1;
}

void forget_temporary(int ticket) {
  if (ticket < 0 || ticket >= TEMPORARY_SLOTS) return;
  TemporarySlot& slot = g_temporaries[ticket];
  slot.state.store(1);
  slot.directory = -1;
  slot.name[0] = '\0';
  slot.state.store(0);
}

}  // namespace tarn::platform
