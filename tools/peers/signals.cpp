// Waiting for SIGINT/SIGTERM in the tools, so they stop cleanly and disconnect.
#include "peers/signals.h"

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace norvane::peers {
namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void blockStopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool waitForStopSignal(std::chrono::milliseconds timeout) {
  const sigset_t set = stopSignals();
  if (timeout == std::chrono::milliseconds::zero()) {
    int signal = 0;
    return sigwait(&set, &signal) == 0;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds);
  const timespec wait{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
  int received = -1;
  do {
    received = sigtimedwait(&set, nullptr, &wait);
  } while (received < 0 && errno == EINTR);
  return received > 0;
}

}  // namespace norvane::peers
