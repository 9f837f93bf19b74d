// Readiness and keep-alive notifications to systemd, sent as its datagram protocol expects.
#include "watchdog.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "file_text.h"
#include "p7_trace.h"

namespace norvane {
namespace {

using Clock = std::chrono::steady_clock;

// Far below any sensible WatchdogSec=, and it spares the 100 ms polls nine datagrams in ten.
constexpr Clock::duration kAliveInterval = std::chrono::seconds(1);

// Main thread only, like every caller; no ping yet while false.
bool pinged = false;
Clock::time_point lastPing;
// Since the last notification that failed: the next success is recorded, the next failures
// are not (a lost socket would otherwise fill the log with a record a second).
bool failing = false;

std::runtime_error systemError(const std::string& what, const std::string& address) {
  const int error = errno;
  return std::runtime_error(
      fmt::format("{} {}: {} (errno {})", what, address, std::strerror(error), error));
}

// A path in the file system, or an abstract name after '@' (the '@' stands for the leading
// zero byte that the socket's address carries).
void sendDatagram(const std::string& address, std::string_view state) {
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
  if ((address[0] != '/' && address[0] != '@') || address.size() >= sizeof peer.sun_path) {
    throw std::runtime_error(fmt::format("unusable NOTIFY_SOCKET {}", address));
  }
  address.copy(peer.sun_path, address.size());
  socklen_t length = offsetof(sockaddr_un, sun_path) + address.size();
  if (address[0] == '@') {
    peer.sun_path[0] = '\0';
  } else {
    ++length;  // the path's terminating zero
  }
  const kavrion::FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw systemError("socket for", address);
  // MSG_NOSIGNAL: a manager that went away must not end the service with SIGPIPE.
  if (::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&peer), length) < 0) {
    throw systemError("sendto", address);
  }
}

// Not fatal when it fails: a lost ping is what the watchdog itself then reports, a lost
// READY=1 the start-up timeout.
// @return false when nothing was sent because NOTIFY_SOCKET is not set
bool send(const char* state) {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr || *address == '\0') return false;
  try {
    sendDatagram(address, state);
    if (failing) {
      NV_TRACE(P7::getTrace(), P7::kInfo, "systemd notifications reach %s again", address);
      failing = false;
    }
  } catch (const std::runtime_error& e) {
    if (!failing) {
      NV_TRACE(P7::getTrace(), P7::kWarning, "systemd notification \"%s\" failed: %s", state,
               e.what());
      failing = true;
    }
  }
  return true;
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
