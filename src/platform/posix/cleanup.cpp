// POSIX signal handling for the temporaries of cleanup.h.
//
// Every signal whose default action ends the process gets one handler. It
// removes the listed temporaries with unlinkat, puts back what the signal
// did before (the default, or a sanitizer's handler) and lets the signal end
// the process as it would have: a signal sent to the process is raised
// again, to arrive when the handler returns; a fault the system raised for
// an instruction simply recurs when the handler returns. The one exception
// is the SIGXFSZ the system sends a writer that passed the file-size limit:
// the handler lets it go, and the write fails with EFBIG instead. Only
// unlinkat, sigaction, getpid and raise are called, which are safe there.
#include <signal.h>
#include <unistd.h>
#include <fcntl.h>

#include "platform/cleanup.h"
#include "platform/directory.h"

namespace tarn::platform {

namespace {

// Signals another process (or the terminal, a timer, a pipe) sends.
constexpr int SENT_SIGNALS[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};
// Signals the system raises for the instruction that caused them (a kill
// may send them too); they are never blocked.
constexpr int FAULT_SIGNALS[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

constexpr int MAX_SIGNAL = 128;
struct sigaction g_previous[MAX_SIGNAL];

template <typename Each>
void for_each_sent_signal(Each each) {
  for (const int s : SENT_SIGNALS) each(s);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int s = SIGRTMIN; s <= SIGRTMAX && s < MAX_SIGNAL; ++s) each(s);
#endif
}

bool is_fault_signal(int signal_number) {
  for (const int s : FAULT_SIGNALS)
    if (s == signal_number && s != SIGABRT) return true;
  return false;
}

extern "C" void remove_and_end(int signal_number, siginfo_t* info, void* /*context*/) {
  const struct sigaction& previous = g_previous[signal_number];
  const bool had_handler = (previous.sa_flags & SA_SIGINFO) != 0 || (previous.sa_handler != SIG_DFL &&
                                                                       previous.sa_handler != SIG_IGN);
  if (signal_number == SIGXFSZ) {
    // The file-size limit of this process: the write that passed it fails.
    if (info != nullptr && info->si_code == SI_USER && info->si_pid == ::getpid()) return;
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) return;
  }
  for (auto& slot : g_temporaries) {
    if (slot.state.load() == 2) ::unlinkat(slot.directory, slot.name, 0);
  }
  ::sigaction(signal_number, &previous, nullptr);
  // A fault the system raised for an instruction comes again when the
  // handler returns, to reach the handler that was there before with its
  // context; anything else is raised again, to arrive on the return.
  const bool recurs = is_fault_signal(signal_number) && info != nullptr && info->si_code > 0 && had_handler;
  if (!recurs) ::raise(signal_number);
}

sigset_t sent_set() {
  sigset_t set;
  sigemptyset(&set);
  for_each_sent_signal([&](int s) { sigaddset(&set, s); });
  return set;
}

}  // namespace

int remember_temporary(const Directory& directory, const std::string& name) {
  return list_temporary(directory.descriptor(), name);
}

void remove_temporaries_on_signals() {
  struct sigaction action {};
  action.sa_sigaction = remove_and_end;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  action.sa_mask = sent_set();
  for (const int s : FAULT_SIGNALS) sigaddset(&action.sa_mask, s);
  const auto install = [&](int s, bool keep_ignored) {
    if (s <= 0 || s >= MAX_SIGNAL) return;
    struct sigaction previous {};
    if (::sigaction(s, nullptr, &previous) != 0) return;
    // A signal the caller ignores (nohup, a background job) stays ignored.
    if (keep_ignored && (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) return;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction == remove_and_end) return;  // installed
    g_previous[s] = previous;
    ::sigaction(s, &action, nullptr);
  };
  // The file-size limit is met with an error, whatever the caller did with
  // the signal before.
  for_each_sent_signal([&](int s) { install(s, s != SIGXFSZ); });
  for (const int s : FAULT_SIGNALS) install(s, false);
}

static_assert(sizeof(sigset_t) <= 256, "the saved mask must fit");

TerminationSignalsBlocked::TerminationSignalsBlocked() {
  const sigset_t set = sent_set();
  ::pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t*>(saved_));
}

TerminationSignalsBlocked::~TerminationSignalsBlocked() {
  ::pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr);
}

}  // namespace tarn::platform
