// systemd notifications on a stand-in socket: readiness, and pings from the loop's own thread.
#include "watchdog.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "collection_loop.h"
#include "history_client.h"
#include "service_state.h"
#include "test_broker.h"

namespace {

using namespace std::chrono_literals;
using norvane::testing::TempDir;

// Plays systemd's notification socket while it lives: NOTIFY_SOCKET names it.
class NotifySocket {
 public:
  NotifySocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const std::string path = (dir_.path() / "notify").string();
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    if (const char* previous = std::getenv("NOTIFY_SOCKET")) previous_ = previous;
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    previous_ ? ::setenv("NOTIFY_SOCKET", previous_->c_str(), 1) : ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // The next datagram, or none within @p wait.
  std::optional<std::string> next(std::chrono::milliseconds wait) const {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
    char text[256];
    const ssize_t size = ::recv(fd_, text, sizeof text, 0);
    return std::string(text, static_cast<size_t>(std::max<ssize_t>(size, 0)));
  }

 private:
  TempDir dir_;
  int fd_;
  std::optional<std::string> previous_;
};

TEST(Watchdog, ReadyIsReported) {
  NotifySocket systemd;
  norvane::notifyReady();
  EXPECT_EQ(systemd.next(5s), "READY=1");
}

TEST(Watchdog, EveryPassPingsAndAStepThatHangsDoesNot) {
  // A ping of an earlier test in this process holds the next one back for up to a second.
  std::this_thread::sleep_for(1100ms);
  NotifySocket systemd;
  TempDir dir;
  // Due at once; the second window closes after the loop's own 100 ms polls.
  std::ofstream(dir.path() / "timestamp") << R"({"intervals":[{"a":1699999900}]})";
  int64_t nowMs = 1700000000000;
  norvane::CollectionLoop loop;
  loop.progress = {dir.dir(), "timestamp"};
  loop.now = [&] { return nowMs / 1000; };
  loop.sleep = [&](std::chrono::milliseconds pause) { nowMs += pause.count(); };
  // The steps look on from inside: the loop's thread is held there, as in a hang. (Not on a
  // thread of the test's own: qemu-user, which runs the arm64 tests, hangs in thread creation.)
  std::vector<std::optional<std::string>> seen;
  loop.step = [&](norvane::Window, bool, const norvane::StepOptions&) {
    seen.push_back(systemd.next(5s));
    if (seen.size() == 1) seen.push_back(systemd.next(1500ms));
    return norvane::StepOutcome::kDone;
  };
  norvane::runPass(loop);
  norvane::runPass(loop);
  EXPECT_EQ(seen, (decltype(seen){"WATCHDOG=1", std::nullopt, "WATCHDOG=1"}));
}

TEST(Watchdog, HistoryWaitPingsEverySecondAndTimesOutWithTheWholeTimeout) {
  NotifySocket systemd;
  // Never connected: the request is dropped and no reply can come.
  auto client = std::make_shared<kavrion::mosquitto::MqttAsyncWrapper>("watchdog-history",
                                                                       "tcp://127.0.0.1:9");
  norvane::db_resubscribe(true, client);
  const auto previous = norvane::setReplyTimeout(2500ms);
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  try {
    norvane::exchangeRequest(*client, "{}", {});
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  norvane::setReplyTimeout(previous);
  EXPECT_EQ(error, "no message on \"" + norvane::bd_topic + "\" within 2.5 s");
  EXPECT_GE(waited, 2500ms);
  int pings = 0;
  while (systemd.next(0ms) == "WATCHDOG=1") ++pings;
  // At 1 s and 2 s, and at the start unless an earlier ping held it back.
  EXPECT_TRUE(pings == 2 || pings == 3) << pings << " pings";
}

}  // namespace
