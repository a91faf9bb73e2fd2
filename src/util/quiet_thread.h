#pragma once
// Helper threads that leave every signal to the main thread.

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace tarn {

/// Starts a thread with every signal blocked, so that signals keep going to
/// the main thread, whose handlers and waits expect them. A new thread takes
/// its mask from the thread that starts it, so the mask is set around the
/// start and put back after.
template <class Body>
std::jthread start_quiet_thread(Body&& body) {
  sigset_t all{};
  sigset_t before{};
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  std::jthread thread(std::forward<Body>(body));
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}

}  // namespace tarn
