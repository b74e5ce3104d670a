// Files to remove when the process is ended by a signal.
//
// An interrupted run must not leave half-written files behind: the archive
// being created and the file being extracted are written to temporaries,
// and SIGINT, SIGTERM, SIGHUP or SIGPIPE remove the temporaries that are
// listed here before the signal ends the process as it would have. A fatal
// error removes them through their owners instead; this list is only for
// what no destructor will see. Signals are process-wide, so the list is
// too: it is the one piece of mutable process-wide state, and only the
// thread that runs the drivers adds to it and takes from it (workers are
// started with these signals blocked, so the handler always runs on that
// thread). A write beyond the file-size limit fails with an error instead
// of ending the process (SIGXFSZ is ignored), so it reaches the fatal path.
#pragma once

#include <atomic>
#include <string>

namespace tarn::platform {

// Installs the handlers; called once at the start of a program.
void remove_temporaries_on_signals();

// Lists `path` for removal; returns a ticket for forget_temporary (-1 when
// the list is full, in which case the path is simply not listed).
int remember_temporary(const std::string& path);
void forget_temporary(int ticket);

// While one lives, the calling thread has the signals above blocked; threads
// it starts inherit that, so they never run the handler.
// The list itself, read by the systems' signal handlers (cleanup.cpp).
inline constexpr int TEMPORARY_SLOTS = 64;
extern std::atomic<char*> g_temporaries[TEMPORARY_SLOTS];

class TerminationSignalsBlocked {
 public:
  TerminationSignalsBlocked();
  ~TerminationSignalsBlocked();
  TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
  TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;

 private:
  alignas(16) unsigned char saved_[256];  // the previous signal mask, opaque here
};

}  // namespace tarn::platform
