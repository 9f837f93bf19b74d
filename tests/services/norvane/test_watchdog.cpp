// systemd notifications on a stand-in socket: where they go, what a failure records, and pings
// from the loop's own thread.
#include "watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "collection_loop.h"
#include "history_client.h"
#include "notify_listener.h"
#include "record_log.h"
#include "service_state.h"
#include "test_broker.h"

namespace {

using namespace std::chrono_literals;
using norvane::testing::NotifyListener;
using norvane::testing::Record;
using norvane::testing::TempDir;

// NOTIFY_SOCKET names @p address while it lives (none: unset), as systemd sets it.
class NotifySocketVariable {
 public:
  explicit NotifySocketVariable(const std::optional<std::string>& address) {
    if (const char* previous = std::getenv("NOTIFY_SOCKET")) previous_ = previous;
    address ? ::setenv("NOTIFY_SOCKET", address->c_str(), 1) : ::unsetenv("NOTIFY_SOCKET");
  }
  ~NotifySocketVariable() {
    previous_ ? ::setenv("NOTIFY_SOCKET", previous_->c_str(), 1) : ::unsetenv("NOTIFY_SOCKET");
  }
  NotifySocketVariable(const NotifySocketVariable&) = delete;
  NotifySocketVariable& operator=(const NotifySocketVariable&) = delete;

 private:
  std::optional<std::string> previous_;
};

// A listener that NOTIFY_SOCKET names.
struct SystemdStandIn : NotifyListener {
  NotifySocketVariable variable{address()};
};

std::vector<std::string> allReceived(const NotifyListener& socket) {
  std::vector<std::string> received;
  while (auto datagram = socket.next(0ms)) received.push_back(*datagram);
  return received;
}

TEST(Watchdog, ReadinessAndPingsReachTheSocketNotifySocketNames) {
  enum class Address { kPath, kAbstract, kUnset, kBoundLater };
  struct Case {
    const char* name;
    Address address;
    std::vector<std::string> received;
    // "{}" stands for the socket's address.
    std::vector<std::pair<int, std::string>> records;
  };
  const std::vector<Case> cases{
      {"path", Address::kPath, {"READY=1", "WATCHDOG=1"}, {}},
      {"abstract", Address::kAbstract, {"READY=1", "WATCHDOG=1"}, {}},
      {"no NOTIFY_SOCKET", Address::kUnset, {}, {}},
      // READY=1 and the first ping fail with one record; the ping after the bind arrives.
      {"missing socket",
       Address::kBoundLater,
       {"WATCHDOG=1"},
       {{P7::kWarning,
         "systemd notification \"READY=1\" failed: sendto {}: No such file or "
         "directory (errno 2)"},
        {P7::kInfo, "systemd notifications reach {} again"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    norvane::testing::RecordLog log;
    NotifyListener socket(c.address == Address::kAbstract ? NotifyListener::Kind::kAbstract
                                                          : NotifyListener::Kind::kPath,
                          c.address != Address::kBoundLater);
    NotifySocketVariable variable(
        c.address == Address::kUnset ? std::nullopt : std::optional<std::string>(socket.address()));
    norvane::notifyReady();
    // Past the limit of one ping a second, here and below.
    std::this_thread::sleep_for(1100ms);
    norvane::notifyAlive();
    if (c.address == Address::kBoundLater) {
      socket.bind();
      std::this_thread::sleep_for(1100ms);
      norvane::notifyAlive();
    }
    EXPECT_EQ(allReceived(socket), c.received);
    std::vector<Record> records;
    for (const auto& [level, text] : c.records) {
      records.push_back({level, fmt::format(fmt::runtime(text), socket.address())});
    }
    EXPECT_EQ(log.records(), records);
  }
}

TEST(Watchdog, EveryPassPingsAndAStepThatHangsDoesNot) {
  // A ping of an earlier test in this process holds the next one back for up to a second.
  std::this_thread::sleep_for(1100ms);
  const SystemdStandIn systemd;
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
  const SystemdStandIn systemd;
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
