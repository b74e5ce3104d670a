// POSIX signal handling for the temporaries of cleanup.h. The handler runs
// on the drivers' thread (workers block the signals) and uses only unlink,
// signal and raise, which are safe there.
#include <signal.h>
#include <unistd.h>


#include "platform/cleanup.h"

namespace tarn::platform {

namespace {

constexpr int TERMINATION_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

extern "C" void remove_and_end(int signal_number) {
  for (auto& slot : g_temporaries) {
    const char* path = slot.load();
    if (path != nullptr) ::unlink(path);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

sigset_t termination_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : TERMINATION_SIGNALS) sigaddset(&set, s);
  return set;
}

}  // namespace

void remove_temporaries_on_signals() {
  struct sigaction action {};
  action.sa_handler = remove_and_end;
  action.sa_mask = termination_set();
  for (int s : TERMINATION_SIGNALS) {
    // A signal the caller ignores (nohup, a background job) stays ignored.
    struct sigaction previous {};
    if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
}

static_assert(sizeof(sigset_t) <= 256, "the saved mask must fit");

TerminationSignalsBlocked::TerminationSignalsBlocked() {
  const sigset_t set = termination_set();
  ::pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t*>(saved_));
}

TerminationSignalsBlocked::~TerminationSignalsBlocked() {
  ::pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr);
}

}  // namespace tarn::platform
