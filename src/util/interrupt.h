#pragma once
// Interruption by SIGINT, SIGTERM or SIGHUP. The handler only records the
// signal (and passes it on to a running child); the run driver checks for it
// between steps, releases what it holds and exits with 128 + the signal.

#include <sys/types.h>
#include <optional>

namespace tarn {

void install_interrupt_handlers();

/// The first interrupting signal received so far, if any.
std::optional<int> pending_interrupt();

/// The child process that an interruption is passed on to; 0 for none.
void set_foreground_child(pid_t pid);

}  // namespace tarn
