// Files to remove when the process is ended by a signal.
//
// An interrupted run must not leave half-written files behind. The archive
// being created and the files being extracted are written to temporaries
// that, where the file system allows it, have no name until they are
// complete: the system itself frees them when the process ends in any way,
// SIGKILL and a power cut included. Elsewhere the temporaries are named
// files beside their destinations, listed here, and every signal whose
// default action ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, the real-time ones,
// and the faults such as SIGSEGV and SIGABRT) removes the listed ones before
// it ends the process as it would have. A signal the caller ignores stays
// ignored. A write beyond the file-size limit fails with an error (the
// SIGXFSZ the system sends the writer for it is let go), so it reaches the
// fatal path. A fatal error removes the temporaries through their owners
// instead; this list is only for what no destructor will see.
//
// Signals are process-wide, so the list is too: it is the one piece of
// mutable process-wide state. Only the thread that runs the drivers adds to
// it and takes from it; workers are started with the asynchronous signals
// blocked, so their handler runs on that thread. A listed temporary is named
// by the descriptor of its directory and its name there, so the handler
// removes exactly the file that was made, wherever the directory's path now
// leads.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace tarn::platform {

class Directory;

// Installs the handlers; called once at the start of a program.
void remove_temporaries_on_signals();

// Lists the file `name` in `directory` for removal; returns a ticket for
// forget_temporary (-1 when the list is full, in which case the file is
// simply not listed).
int remember_temporary(const Directory& directory, const std::string& name);
void forget_temporary(int ticket);

// The list itself, read by the systems' signal handlers (cleanup.cpp). A
// slot is free (0), being filled or emptied (1), or holds a temporary (2).
inline constexpr int TEMPORARY_SLOTS = 64;
inline constexpr size_t TEMPORARY_NAME_SIZE = 1024;
struct TemporarySlot {
  std::atomic<int> state{0};
  int directory = -1;  // the descriptor `name` is relative to (POSIX), or -1
  char name[TEMPORARY_NAME_SIZE] = {};
};
extern TemporarySlot g_temporaries[TEMPORARY_SLOTS];
// Fills a free slot; the ticket, or -1.
int list_temporary(int directory, const std::string& name);

// While one lives, the calling thread has the asynchronous signals above
// blocked; threads it starts inherit that, so they never run the handler.
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
