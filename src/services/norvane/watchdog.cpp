// Readiness and keep-alive notifications to systemd through libsystemd's sd_notify.
#include "watchdog.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstring>

#include "p7_trace.h"

namespace norvane {
namespace {

using Clock = std::chrono::steady_clock;

// Far below any sensible WatchdogSec=, and it spares the 100 ms polls nine datagrams in ten.
constexpr Clock::duration kAliveInterval = std::chrono::seconds(1);

// Main thread only, like every caller; no ping yet while false.
bool pinged = false;
Clock::time_point lastPing;

// Outside systemd (no NOTIFY_SOCKET) sd_notify sends nothing and returns 0.
// @return false when nothing was sent because NOTIFY_SOCKET is not set
bool send(const char* state) {
  const int result = sd_notify(0, state);
  if (result < 0) {
    // Not fatal: a lost ping is what the watchdog itself then reports, a lost READY=1 the
    // start-up timeout.
    NV_TRACE(P7::getTrace(), P7::kWarning, "systemd notification \"%s\" failed [%d]: %s", state,
             -result, std::strerror(-result));
  }
  return result != 0;
}

}  // namespace

void notifyReady() { send("READY=1"); }

void notifyAlive() {
  const Clock::time_point now = Clock::now();
  if (pinged && now - lastPing < kAliveInterval) return;
  // A call outside systemd does not count, so the first ping under systemd is never held back.
  if (send("WATCHDOG=1")) {
    pinged = true;
    lastPing = now;
  }
}

}  // namespace norvane
