#include "util/interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>

namespace tarn {
namespace {

// Both are touched from a signal handler, so they must never take a lock.
std::atomic<int> first_signal{0};
std::atomic<pid_t> foreground_child{0};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<pid_t>::is_always_lock_free);

constexpr int k_interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_interrupt(int signal) {
  const int saved_errno = errno;
  int none = 0;
  first_signal.compare_exchange_strong(none, signal);
  // The child decides how to wind down; the run waits for it to end.
  if (pid_t child = foreground_child.load(); child > 0) {
    ::kill(child, signal);
  }
  errno = saved_errno;
}

}  // namespace

void install_interrupt_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : k_interrupt_signals) {
    sigaddset(&action.sa_mask, signal);
  }
  // sa_flags stays 0, without SA_RESTART: a blocking wait returns EINTR and its loop retries.
  for (int signal : k_interrupt_signals) {
    ::sigaction(signal, &action, nullptr);
  }
}

std::optional<int> pending_interrupt() {
  const int signal = first_signal.load();
  return signal != 0 ? std::optional(signal) : std::nullopt;
}

void set_foreground_child(pid_t pid) {
  foreground_child.store(pid);
}

}  // namespace tarn
