// Behaviour of the MQTT client against a real broker: receiving, filtering, limits, outages.
#include "mqtt_async_wrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "p7_trace.h"
#include "test_broker.h"

namespace kavrion::mosquitto {
namespace {

using namespace std::chrono_literals;
using norvane::testing::TestBroker;

std::string text(const msg_t& msg) { return std::string(msg.payload.begin(), msg.payload.end()); }

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Every log record written while it lives.
class Records {
 public:
  bool contains(int level, const std::string& message) const {
    std::lock_guard lock(mutex_);
    for (const auto& [l, m] : records_) {
      if (l == level && m == message) return true;
    }
    return false;
  }

  std::size_t countContaining(const std::string& part) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& record : records_) count += record.second.find(part) != std::string::npos;
    return count;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> records_;
  // Declared last so it stops capturing before the records go.
  P7::RecordCapture capture_{[this](int level, const std::string& message) {
    std::lock_guard lock(mutex_);
    records_.emplace_back(level, message);
  }};
};

class MqttClient : public ::testing::Test {
 protected:
  std::string clientId(const std::string& role) const {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->name()) + "-" + role + "-" + std::to_string(::getpid());
  }

  ClientOptions options() const {
    ClientOptions options;
    options.serverUri = broker.uri();
    return options;
  }

  std::unique_ptr<MqttAsyncWrapper> connected(const std::string& role) {
    return connected(role, options());
  }

  std::unique_ptr<MqttAsyncWrapper> connected(const std::string& role, const ClientOptions& opts) {
    auto client = std::make_unique<MqttAsyncWrapper>(clientId(role), opts);
    client->Connect(true);
    EXPECT_TRUE(client->isConnected()) << role;
    return client;
  }

  // Publishes until the subscriber takes a message on the topic: a renewed subscription
  // becomes effective some time after the reconnect that is observed.
  static bool deliveredAfterRenewal(MqttAsyncWrapper& publisher, MqttAsyncWrapper& subscriber,
                                    const std::string& topic) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
      publisher.Send(topic, "renewed", Qos::AtMostOnce, false);
      try {
        return text(subscriber.Receive(topic, 300ms)) == "renewed";
      } catch (const std::runtime_error&) {
      }
    }
    return false;
  }

  // The texts received on @p topic until none comes within @p quiet.
  static std::vector<std::string> receiveAll(MqttAsyncWrapper& client, const std::string& topic,
                                             std::chrono::milliseconds quiet) {
    std::vector<std::string> texts;
    for (;;) {
      try {
        texts.push_back(text(client.Receive(topic, quiet)));
      } catch (const std::runtime_error&) {
        return texts;
      }
    }
  }

  // True once the broker replays a retained message on the topic to a new subscription,
  // i.e. a publication of it has been stored.
  bool retainedStored(const std::string& topic) {
    MqttAsyncWrapper probe(clientId("probe"), broker.uri());
    probe.Connect(true);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      probe.Subscribe(topic, Qos::AtMostOnce, false);
      try {
        if (probe.Receive(topic, 300ms).retained == 1) return true;
      } catch (const std::runtime_error&) {
      }
      probe.Unsubscribe(topic);
    }
    return false;
  }

  TestBroker broker;
};

TEST_F(MqttClient, ReceivesPublicationsOfItsSubscriptionInOrder) {
  auto subscriber = connected("sub");
  auto publisher = connected("pub");
  subscriber->Subscribe("/devices/+/controls/+", Qos::AtMostOnce, false);
  publisher->Send("/devices/m1/controls/P", "1.5", Qos::AtLeastOnce, false);
  publisher->Send("/devices/m1/controls/U", "", Qos::AtLeastOnce, false);

  msg_t first = subscriber->Receive("/#", 5);
  EXPECT_EQ(first.topic, "/devices/m1/controls/P");
  EXPECT_EQ(text(first), "1.5");
  EXPECT_EQ(first.retained, 0);
  msg_t second = subscriber->Receive("/#", 5);
  EXPECT_EQ(second.topic, "/devices/m1/controls/U");
  EXPECT_TRUE(second.payload.empty());
  EXPECT_EQ(subscriber->connectionCount(), 1u);
}

TEST_F(MqttClient, ReceiveDiscardsQueuedMessagesThatDoNotMatchTheFilter) {
  auto subscriber = connected("sub");
  auto publisher = connected("pub");
  subscriber->Subscribe("/a/#", Qos::AtMostOnce, false);
  publisher->Send("/a/1", "one", Qos::AtLeastOnce, false);
  publisher->Send("/a/2", "two", Qos::AtLeastOnce, false);

  EXPECT_EQ(text(subscriber->Receive("/a/2", 5)), "two");
  EXPECT_THROW(subscriber->Receive("/a/#", 200ms), std::runtime_error);
}

TEST_F(MqttClient, ReceiveTimeoutNamesTheFilterAndTheSeconds) {
  auto client = connected("sub");
  client->Subscribe("/none/#", Qos::AtMostOnce, false);
  const auto start = std::chrono::steady_clock::now();
  try {
    client->Receive("/none/#", 200ms);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "no message on \"/none/#\" within 0.2 s");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);
  try {
    client->Receive("/none/#", 1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "no message on \"/none/#\" within 1 s");
  }
}

TEST_F(MqttClient, ReceiveWithTimeoutZeroWaitsForALateMessage) {
  auto subscriber = connected("sub");
  auto publisher = connected("pub");
  subscriber->Subscribe("/late", Qos::AtMostOnce, false);
  auto pending = std::async(std::launch::async, [&] { return subscriber->Receive("/late", 0); });
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(pending.wait_for(0ms), std::future_status::timeout) << "returned without a message";
  publisher->Send("/late", "finally", Qos::AtLeastOnce, false);
  if (pending.wait_for(10s) != std::future_status::ready) {
    publisher->Send("/late", "unblock", Qos::AtLeastOnce, false);  // lets the test end
    FAIL() << "the message did not wake Receive";
  }
  EXPECT_EQ(text(pending.get()), "finally");
}

TEST_F(MqttClient, SkipRetainedDropsTheReplayButNotLivePublications) {
  auto publisher = connected("pub");
  publisher->Send("/cfg/a", "old", Qos::AtLeastOnce, true);
  ASSERT_TRUE(retainedStored("/cfg/a"));
  auto skipping = connected("skipping");
  auto keeping = connected("keeping");
  skipping->Subscribe("/cfg/+", Qos::AtMostOnce, true);
  keeping->Subscribe("/cfg/+", Qos::AtMostOnce, false);

  msg_t replay = keeping->Receive("/cfg/+", 5);
  EXPECT_EQ(text(replay), "old");
  EXPECT_EQ(replay.retained, 1);

  // A live publication with the retain flag still counts as live for the subscribers.
  publisher->Send("/cfg/a", "new", Qos::AtLeastOnce, true);
  msg_t live = skipping->Receive("/cfg/+", 5);
  EXPECT_EQ(text(live), "new");
  EXPECT_EQ(live.retained, 0);
  EXPECT_EQ(text(keeping->Receive("/cfg/+", 5)), "new");
}

TEST_F(MqttClient, SubscribeManyMakesEveryFilterOfSeveralBatchesEffectiveOnReturn) {
  auto publisher = connected("pub");
  publisher->Send("/many/599", "retained", Qos::AtLeastOnce, true);
  ASSERT_TRUE(retainedStored("/many/599"));
  auto subscriber = connected("sub");
  std::vector<std::string> topics;
  for (int i = 0; i < 600; ++i) topics.push_back("/many/" + std::to_string(i));

  subscriber->SubscribeMany(topics, Qos::AtMostOnce, true);

  // Effective on return: a publication right after is received on every filter, the edges
  // of the batches included, and the retained replay is skipped as for a single subscription.
  for (const std::string& topic : topics) publisher->Send(topic, topic, Qos::AtLeastOnce, false);
  std::vector<std::string> received;
  try {
    while (received.size() < topics.size()) received.push_back(text(subscriber->Receive("/#", 5)));
  } catch (const std::runtime_error&) {
  }
  const auto differ = std::mismatch(received.begin(), received.end(), topics.begin());
  EXPECT_TRUE(differ.first == received.end())
      << "got " << *differ.first << " for " << *differ.second;
  EXPECT_EQ(received.size(), topics.size());
}

TEST_F(MqttClient, SubscribeManyRejectsAnInvalidFilterBeforeSubscribingAny) {
  auto publisher = connected("pub");
  auto subscriber = connected("sub");
  try {
    subscriber->SubscribeMany({"/ok/a", "/bad/#/x"}, Qos::AtMostOnce, false);
    FAIL() << "an invalid filter was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "MQTT error: subscribe \"/bad/#/x\": not a valid topic filter");
  }
  publisher->Send("/ok/a", "x", Qos::AtMostOnce, false);
  EXPECT_THROW(subscriber->Receive("/ok/a", std::chrono::milliseconds(500)), std::runtime_error);
}

TEST_F(MqttClient, SkipRetainedAppliesOnlyToItsOwnSubscription) {
  auto publisher = connected("pub");
  publisher->Send("/dev/a/controls/x", "7", Qos::AtLeastOnce, true);
  publisher->Send("/dev/b/controls/x", "8", Qos::AtLeastOnce, true);
  ASSERT_TRUE(retainedStored("/dev/b/controls/x"));
  auto subscriber = connected("sub");
  subscriber->Subscribe("/dev/a/controls/x", Qos::AtMostOnce, true);
  subscriber->Subscribe("/dev/b/controls/x", Qos::AtMostOnce, false);
  msg_t msg = subscriber->Receive("/dev/+/controls/x", 5);
  EXPECT_EQ(msg.topic, "/dev/b/controls/x");
  EXPECT_THROW(subscriber->Receive("/#", 300ms), std::runtime_error);
}

TEST_F(MqttClient, FullReceiveQueueDropsTheOldestAndWarnsOncePerMinute) {
  Records records;
  ClientOptions small = options();
  small.receiveQueueMessages = 5;
  auto subscriber = connected("sub", small);
  auto publisher = connected("pub");
  subscriber->Subscribe("/q", Qos::AtLeastOnce, false);
  for (int i = 0; i < 8; ++i) publisher->Send("/q", std::to_string(i), Qos::AtLeastOnce, false);
  ASSERT_TRUE(eventually([&] { return subscriber->queuedMessages() == 5; }, 5s));
  // The last messages may still be on their way while the queue already holds five.
  std::this_thread::sleep_for(500ms);

  EXPECT_EQ(text(subscriber->Receive("/q", 5)), "3");
  const std::string warning =
      "receive queue of \"" + clientId("sub") + "\" full: 3 oldest messages dropped";
  EXPECT_TRUE(records.contains(P7::kWarning, warning)) << warning;

  for (int i = 8; i < 12; ++i) publisher->Send("/q", std::to_string(i), Qos::AtLeastOnce, false);
  ASSERT_TRUE(eventually([&] { return subscriber->queuedMessages() == 5; }, 5s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(text(subscriber->Receive("/q", 5)), "7");
  EXPECT_EQ(records.countContaining("full:"), 1u) << "a second warning within the minute";
}

TEST_F(MqttClient, ReceiveQueueIsBoundedByBytes) {
  ClientOptions small = options();
  const std::string payload(999, 'x');
  small.receiveQueueBytes = 3 * (sizeof(msg_t) + 2 + 1 + payload.size());
  auto subscriber = connected("sub", small);
  auto publisher = connected("pub");
  subscriber->Subscribe("/b", Qos::AtLeastOnce, false);
  for (char c = 'a'; c <= 'e'; ++c)
    publisher->Send("/b", std::string(1, c) + payload, Qos::AtLeastOnce, false);
  ASSERT_TRUE(eventually([&] { return subscriber->queuedMessages() == 3; }, 5s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(text(subscriber->Receive("/b", 5)).front(), 'c');
}

TEST_F(MqttClient, ClearRecievedQueueDropsEverythingQueued) {
  auto subscriber = connected("sub");
  auto publisher = connected("pub");
  subscriber->Subscribe("/c", Qos::AtMostOnce, false);
  for (int i = 0; i < 3; ++i) publisher->Send("/c", "stale", Qos::AtLeastOnce, false);
  ASSERT_TRUE(eventually([&] { return subscriber->queuedMessages() == 3; }, 5s));
  subscriber->ClearRecievedQueue();
  EXPECT_THROW(subscriber->Receive("/c", 200ms), std::runtime_error);
  publisher->Send("/c", "fresh", Qos::AtLeastOnce, false);
  EXPECT_EQ(text(subscriber->Receive("/c", 5)), "fresh");
}

TEST_F(MqttClient, UnsubscribedTopicIsNoLongerReceived) {
  auto subscriber = connected("sub");
  auto publisher = connected("pub");
  subscriber->Subscribe("/u/a", Qos::AtMostOnce, false);
  subscriber->Subscribe("/u/b", Qos::AtMostOnce, false);
  publisher->Send("/u/a", "queued before", Qos::AtLeastOnce, false);
  ASSERT_TRUE(eventually([&] { return subscriber->queuedMessages() == 1; }, 5s));
  subscriber->Unsubscribe("/u/a");
  publisher->Send("/u/a", "after", Qos::AtLeastOnce, false);
  publisher->Send("/u/b", "still", Qos::AtLeastOnce, false);
  EXPECT_EQ(text(subscriber->Receive("/u/#", 5)), "still");
  EXPECT_THROW(subscriber->Receive("/u/#", 300ms), std::runtime_error);
}

TEST_F(MqttClient, SubscriptionsChangedWhileDisconnectedTakeEffectOnReconnect) {
  auto subscriber = connected("sub");
  auto publisher = connected("pub");
  subscriber->Subscribe("/s/old", Qos::AtMostOnce, false);
  broker.stop();
  ASSERT_TRUE(eventually([&] { return !subscriber->isConnected(); }, 5s));
  EXPECT_NO_THROW(subscriber->Unsubscribe("/s/old"));
  EXPECT_NO_THROW(subscriber->Subscribe("/s/new", Qos::AtMostOnce, false));
  broker.start();
  ASSERT_TRUE(eventually([&] { return subscriber->connectionCount() == 2; }, 15s));
  ASSERT_TRUE(eventually([&] { return publisher->isConnected(); }, 15s));

  ASSERT_TRUE(deliveredAfterRenewal(*publisher, *subscriber, "/s/new"));
  publisher->Send("/s/old", "gone", Qos::AtLeastOnce, false);
  publisher->Send("/s/new", "marker", Qos::AtLeastOnce, false);
  msg_t next;
  do next = subscriber->Receive("/s/#", 5);
  while (text(next) == "renewed");
  EXPECT_EQ(text(next), "marker") << "the broker still delivers the forgotten subscription";
}

TEST_F(MqttClient, ConnectEndsTheSessionAnEarlierRunLeftAtTheBroker) {
  {
    auto earlier = connected("same");
    earlier->Subscribe("/left/over", Qos::AtMostOnce, false);
  }
  auto later = connected("same");
  auto publisher = connected("pub");
  later->Subscribe("/current", Qos::AtMostOnce, false);
  publisher->Send("/left/over", "stale", Qos::AtLeastOnce, false);
  publisher->Send("/current", "wanted", Qos::AtLeastOnce, false);
  // Both come from one publisher in order: the leftover would be queued before the marker.
  ASSERT_TRUE(eventually([&] { return later->queuedMessages() > 0; }, 5s));
  EXPECT_EQ(later->queuedMessages(), 1u) << "the broker still delivers the earlier subscription";
  EXPECT_EQ(text(later->Receive("/#", 5)), "wanted");
}

TEST_F(MqttClient, ConnectWithoutBrokerReturnsAfterTenSecondsAndConnectsLater) {
  Records records;
  broker.stop();
  MqttAsyncWrapper client(clientId("late"), broker.uri());
  client.Subscribe("/waiting", Qos::AtMostOnce, false);
  const auto start = std::chrono::steady_clock::now();
  client.Connect(true);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 9900ms);
  EXPECT_LE(waited, 11s);
  EXPECT_FALSE(client.isConnected());
  EXPECT_TRUE(records.contains(P7::kWarning, "MQTT client \"" + clientId("late") +
                                                 "\" not connected to \"" + broker.uri() +
                                                 "\" within 10 s, still trying"));
  client.Send("/kv/bridge/data/meter", "sent offline", Qos::ExactlyOnce, false);

  broker.start();
  ASSERT_TRUE(eventually([&] { return client.connectionCount() == 1; }, 10s));
  auto publisher = connected("pub");
  ASSERT_TRUE(deliveredAfterRenewal(*publisher, client, "/waiting"));
}

TEST_F(MqttClient, ConnectWithBrokerComingUpSoonReturnsOnceConnected) {
  broker.stop();
  MqttAsyncWrapper client(clientId("soon"), broker.uri());
  // The broker is started from this thread: it dies with the thread that started it.
  const auto start = std::chrono::steady_clock::now();
  auto connecting = std::async(std::launch::async, [&] { client.Connect(true); });
  std::this_thread::sleep_for(1s);
  broker.start();
  ASSERT_EQ(connecting.wait_for(15s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 9s);
  EXPECT_TRUE(client.isConnected());
}

TEST_F(MqttClient, BrokerRestartRenewsSubscriptionsAndDeliversMessagesSentMeanwhile) {
  // The judge keeps a persistent session with a QoS 2 subscription, so the broker holds the
  // messages for it whichever of the two clients reconnects first.
  auto judge = connected("judge");
  judge->Subscribe("/kv/bridge/data/meter", Qos::ExactlyOnce, false);
  auto live = connected("live");
  live->Subscribe("/devices/+/controls/+", Qos::AtMostOnce, false);
  auto sender = connected("sender");

  sender->Send("/kv/bridge/data/meter", "just before", Qos::ExactlyOnce, false);
  broker.stop();
  ASSERT_TRUE(eventually([&] { return !sender->isConnected(); }, 5s));
  EXPECT_NO_THROW(sender->Send("/kv/bridge/data/meter", "during outage", Qos::ExactlyOnce, false));
  EXPECT_NO_THROW(
      sender->Send("/kv/bridge/data/meter", "qos 0 during outage", Qos::AtMostOnce, false));
  std::this_thread::sleep_for(5s);
  broker.start();

  ASSERT_TRUE(eventually(
      [&] { return sender->connectionCount() == 2 && judge->connectionCount() == 2; }, 15s));
  const std::vector<std::string> meter = receiveAll(*judge, "/kv/bridge/data/meter", 2s);
  EXPECT_THAT(meter, ::testing::Contains("just before"));
  EXPECT_THAT(meter, ::testing::Contains("during outage"));
  EXPECT_THAT(meter, ::testing::Not(::testing::Contains("qos 0 during outage")));

  ASSERT_TRUE(eventually([&] { return live->connectionCount() == 2; }, 15s));
  EXPECT_TRUE(deliveredAfterRenewal(*sender, *live, "/devices/m1/controls/P"));
}

TEST_F(MqttClient, FullOfflineBufferByCountOrBytesDropsTheOldestWithAWarning) {
  // Three messages of "/meter" and one digit fit either bound.
  const struct {
    int messages;
    std::size_t bytes;
  } cases[] = {{3, ClientOptions{}.offlineBufferBytes}, {ClientOptions{}.offlineBufferMessages, 21}};
  auto judge = connected("judge");
  judge->Subscribe("/meter", Qos::ExactlyOnce, false);
  for (const auto& c : cases) {
    Records records;
    ClientOptions small = options();
    small.offlineBufferMessages = c.messages;
    small.offlineBufferBytes = c.bytes;
    const std::string role = "sender" + std::to_string(c.messages);
    auto sender = connected(role, small);
    broker.stop();
    ASSERT_TRUE(eventually([&] { return !sender->isConnected(); }, 5s));
    for (int i = 1; i <= 5; ++i) sender->Send("/meter", std::to_string(i), Qos::ExactlyOnce, false);
    EXPECT_TRUE(records.contains(P7::kWarning, "offline buffer of \"" + clientId(role) +
                                                   "\" full: 1 oldest messages dropped"));
    EXPECT_EQ(records.countContaining("offline buffer"), 1u);
    broker.start();

    EXPECT_THAT(receiveAll(*judge, "/meter", 8s), ::testing::ElementsAre("3", "4", "5"));
  }
}

TEST_F(MqttClient, PayloadsAboveTheBoundAreDroppedOnArrivalWithOneRecordPerTopic) {
  // The service's bounds: a control value or a ping state; a history reply, set once the
  // configuration is in; a configuration.
  const struct {
    std::size_t bound;
    bool setLater;
  } cases[] = {{4096, false}, {1 << 20, true}, {4 << 20, false}};
  auto publisher = connected("publisher");
  for (const auto& c : cases) {
    Records records;
    ClientOptions bounded = options();
    if (!c.setLater) bounded.maxPayloadBytes = c.bound;
    const std::string role = "receiver" + std::to_string(c.bound);
    auto receiver = connected(role, bounded);
    if (c.setLater) receiver->SetMaxPayloadBytes(c.bound);
    receiver->Subscribe("/in", Qos::AtLeastOnce, false);
    const std::string over(c.bound + 1, 'x');
    publisher->Send("/in", over, Qos::AtLeastOnce, false);
    publisher->Send("/in", over, Qos::AtLeastOnce, false);
    publisher->Send("/in", std::string(c.bound, 'y'), Qos::AtLeastOnce, false);
    EXPECT_EQ(receiver->Receive("/in", 10s).payload.size(), c.bound);
    // The second drop waits for the topic's next minute.
    EXPECT_TRUE(records.contains(P7::kWarning, "MQTT client \"" + clientId(role) +
                                                   "\" dropped 1 message(s) on \"/in\" of up to " +
                                                   std::to_string(c.bound + 1) +
                                                   " bytes: more than " + std::to_string(c.bound)))
        << c.bound;
    EXPECT_EQ(records.countContaining("dropped"), 1u);
  }
}

TEST_F(MqttClient, OfflineBufferCountStartsAfreshWithEveryOutage) {
  Records records;
  ClientOptions small = options();
  small.offlineBufferMessages = 3;
  auto sender = connected("sender", small);
  for (int outage = 1; outage <= 2; ++outage) {
    broker.stop();
    ASSERT_TRUE(eventually([&] { return !sender->isConnected(); }, 5s));
    for (int i = 0; i < 3; ++i) sender->Send("/meter", "m", Qos::ExactlyOnce, false);
    broker.start();
    ASSERT_TRUE(eventually([&] { return sender->connectionCount() == 1u + outage; }, 15s));
  }
  EXPECT_EQ(records.countContaining("offline buffer"), 0u);
}

}  // namespace
}  // namespace kavrion::mosquitto
