// Plays systemd's notification socket: a datagram socket at a path or an abstract name, whose
// address is what systemd would put in NOTIFY_SOCKET.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

#include "test_broker.h"

namespace norvane::testing {

class NotifyListener {
 public:
  enum class Kind { kPath, kAbstract };

  // Bound at once unless @p bound is false (a socket that is named but not there yet).
  explicit NotifyListener(Kind kind = Kind::kPath, bool bound = true)
      : address_(kind == Kind::kPath ? (dir_.path() / "notify").string()
                                     : "@norvane-test-" + std::to_string(::getpid()) + "-" +
                                           std::to_string(++instances_)) {
    if (bound) bind();
  }
  ~NotifyListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  const std::string& address() const { return address_; }

  void bind() {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un peer{AF_UNIX, {}};
    address_.copy(peer.sun_path, sizeof peer.sun_path - 1);
    if (address_[0] == '@') peer.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&peer), length) != 0) {
      throw std::runtime_error("cannot bind the notification socket " + address_);
    }
  }

  // The next datagram, or none within @p wait.
  std::optional<std::string> next(std::chrono::milliseconds wait) const {
    pollfd ready{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&ready, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
    char text[256];
    const ssize_t size = ::recv(fd_, text, sizeof text, 0);
    return std::string(text, static_cast<std::size_t>(size > 0 ? size : 0));
  }

 private:
  static inline std::atomic<int> instances_{0};
  TempDir dir_;
  std::string address_;
  int fd_ = -1;
};

}  // namespace norvane::testing
