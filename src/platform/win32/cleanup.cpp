// Win32 handling of the temporaries: the C runtime's SIGINT (Ctrl+C) and
// SIGTERM handlers remove the listed files and end the process. The console
// runs the handler on a thread of its own, and a file still open without
// sharing cannot be deleted, so this is a best effort; the fatal path and
// normal runs remove their temporaries themselves.
#include <windows.h>

#include <csignal>

#include "platform/cleanup.h"

namespace tarn::platform {

namespace {

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

TerminationSignalsBlocked::TerminationSignalsBlocked() : saved_{} {}
TerminationSignalsBlocked::~TerminationSignalsBlocked() = default;

}  // namespace tarn::platform
