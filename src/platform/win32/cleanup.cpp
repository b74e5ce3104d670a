// Win32 handling of the temporaries: the C runtime's SIGINT (Ctrl+C) and
// SIGTERM handlers remove the listed files and end the process. The console
// runs the handler on a thread of its own, and a file still open without
// sharing cannot be deleted, so this is a best effort; the fatal path and
// normal runs remove their temporaries themselves.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/cleanup.h"

namespace tarn::platform {

namespace {

constexpr int SLOTS = 64;
std::atomic<char*> g_temporaries[SLOTS];

extern "C" void remove_and_end(int signal_number) {
  for (auto& slot : g_temporaries) {
    const char* path = slot.load();
    if (path != nullptr) DeleteFileA(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void remove_temporaries_on_signals() {
  std::signal(SIGINT, remove_and_end);
  std::signal(SIGTERM, remove_and_end);
}

int remember_temporary(const std::string& path) {
  char* copy = _strdup(path.c_str());
  if (copy == nullptr) return -1;
  for (int i = 0; i < SLOTS; ++i) {
    char* expected = nullptr;
    if (g_temporaries[i].compare_exchange_strong(expected, copy)) return i;
  }
  std::free(copy);
  return -1;
}

void forget_temporary(int ticket) {
  if (ticket < 0 || ticket >= SLOTS) return;
  std::free(g_temporaries[ticket].exchange(nullptr));
}

TerminationSignalsBlocked::TerminationSignalsBlocked() : saved_{} {}
TerminationSignalsBlocked::~TerminationSignalsBlocked() = default;

}  // namespace tarn::platform
