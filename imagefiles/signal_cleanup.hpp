#pragma once
// The process's one piece of signal handling: temporaries that a signal must
// not leave behind, and the dispositions that make write errors out of
// file-size limits.

#include <signal.h>

namespace rectify {

// For executables, once at the start: SIGXFSZ is ignored, so that a file-size
// limit makes a write fail (and the run report it) instead of killing the
// process; SIGINT, SIGTERM and SIGHUP first remove every registered temporary,
// then end the process by the same signal as before. A signal the process was
// started with ignored stays ignored.
void remove_temporaries_on_signals();

// A temporary file, given as a folder descriptor and a name within it, that a
// fatal signal removes. Returns a slot to release once the file is renamed or
// removed, or -1 when every slot is taken (the file is then not cleaned up on
// a signal, and nothing else changes). Both are async-signal-safe to race with
// the handler: the name is copied before the slot is marked in use.
int register_temporary(int folder_fd, const char* name);
void release_temporary(int slot);

// Holds SIGINT, SIGTERM and SIGHUP off in this thread for its lifetime; one
// that arrives meanwhile is delivered when the guard ends.
class TerminationSignalsBlocked {
  public:
    TerminationSignalsBlocked();
    ~TerminationSignalsBlocked();
    TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
    TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;

  private:
    sigset_t saved_;
};

}  // namespace rectify
