// Win32 handling of the temporaries: the C runtime's SIGINT (Ctrl+C) and
// SIGTERM handlers remove the listed files and end the process. The console
// runs the handler on a thread of its own, and a file still open without
// sharing cannot be deleted, so this is a best effort; the fatal path and
// normal runs remove their temporaries themselves.
#include <windows.h>

#include <csignal>

#include "platform/cleanup.h"
#include "platform/directory.h"

namespace tarn::platform {

namespace {

extern "C" void remove_and_end(int signal_number) {
  for (auto& slot : g_temporaries) {
    if (slot.state.load() == 2) DeleteFileA(slot.name);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

// The slot holds the whole path: a directory is held by its path here.
int remember_temporary(const Directory& directory, const std::string& name) {
  return list_temporary(-1, directory.path() + name);
}

void remove_temporaries_on_signals() {
  std::signal(SIGINT, remove_and_end);
  std::signal(SIGTERM, remove_and_end);
}

TerminationSignalsBlocked::TerminationSignalsBlocked() : saved_{} {}
TerminationSignalsBlocked::~TerminationSignalsBlocked() = default;

}  // namespace tarn::platform
