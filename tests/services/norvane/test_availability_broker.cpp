// Both availability threads against a real broker: live publications, retained values,
// silence, and a broker restart under the error-map thread.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "availability_cache.h"
#include "availability_support.h"
#include "error_map.h"
#include "mqtt_async_wrapper.h"
#include "service_state.h"
#include "test_broker.h"

namespace norvane {
namespace {

using kavrion::mosquitto::MqttAsyncWrapper;
using kavrion::mosquitto::Qos;
using norvane::testing::Record;
using norvane::testing::RecordLog;
using norvane::testing::TestBroker;
using norvane::testing::waitFor;
using namespace std::chrono_literals;

class AvailabilityBrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(m_mutex_cache);
      m_cache.clear();
      m_last_update_cache = std::chrono::steady_clock::now();
    }
    m_timeout_s = 1800;
  }

  void publish(const std::string& topic, const std::string& payload, bool retained = false) {
    if (!publisher_) {
      publisher_ = std::make_unique<MqttAsyncWrapper>("avail_test_publisher", broker_.uri());
      publisher_->Connect(true);
    }
    publisher_->Send(topic, payload, Qos::AtLeastOnce, retained);
  }

  // Publishes until @p condition holds: the subscriber may not be subscribed yet.
  bool publishUntil(const std::string& topic, const std::string& payload,
                    const std::function<bool()>& condition, bool retained = false) {
    for (int attempt = 0; attempt < 40; ++attempt) {
      publish(topic, payload, retained);
      if (waitFor(condition, 250ms)) {
        return true;
      }
    }
    return false;
  }

  TestBroker broker_;
  RecordLog log_;
  std::unique_ptr<MqttAsyncWrapper> publisher_;
};

std::optional<data_t> cached(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  const auto found = m_cache.find(key);
  return found == m_cache.end() ? std::nullopt : std::optional<data_t>(found->second);
}

bool cachedValueIs(const std::string& key, double value) {
  const auto record = cached(key);
  return record && record->value == value;
}

bool available(const std::string& pingTopic) {
  std::lock_guard<std::mutex> lock(m_mutex_error_map);
  const auto found = m_error_map.find(pingTopic);
  return found == m_error_map.end() || found->second.available;
}

constexpr const char* kConfiguration = R"({"io":[
  {"id":"m1","device":"meter_1","type":"meter_electricity","kind":0,"cells":["P","U"],
   "ping":"/devices/meter_1/meta/error"},
  {"id":"c2","device":"counter_2","type":"water","kind":1,"cells":["E"]}]})";

TEST_F(AvailabilityBrokerTest, CacheThreadTakesLiveValuesAndEndsWithStatusOneOnASilentBus) {
  configuration = kConfiguration;
  publish("/devices/meter_1/controls/U", "230", true);
  publish("/devices/counter_2/controls/E", "9", true);
  auto status = std::async(std::launch::async, [&] { return runCacheSync(broker_.uri(), 3s); });

  // Retained values count for kind 0 and are skipped for kind 1.
  EXPECT_TRUE(waitFor([] { return cachedValueIs("meter_1.U", 230); }));
  EXPECT_TRUE(publishUntil("/devices/counter_2/controls/E", "10",
                           [] { return cachedValueIs("counter_2.E", 10); }));
  const auto counter = cached("counter_2.E");
  ASSERT_TRUE(counter);
  EXPECT_EQ(counter->min, 10) << "the retained 9 was taken";
  EXPECT_EQ(m_timeout_s.load(), 300);

  for (const char* value : {"5", "7", "3"}) {
    publish("/devices/meter_1/controls/P", value);
  }
  EXPECT_TRUE(waitFor([] { return cachedValueIs("meter_1.P", 3); }));
  const auto power = cached("meter_1.P");
  ASSERT_TRUE(power);
  EXPECT_EQ(power->min, 3);
  EXPECT_EQ(power->max, 7);

  publish("/devices/meter_2/controls/P", "1");  // not subscribed: never arrives
  ASSERT_EQ(status.wait_for(15s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitNoData);
  EXPECT_EQ(cached("meter_2.P"), std::nullopt);
  EXPECT_TRUE(log_.errors().empty());
}

TEST_F(AvailabilityBrokerTest, CacheThreadWaitsLongWithoutElectricityMeters) {
  configuration = R"({"io":[{"id":"w1","device":"water_1","type":"water","cells":["V"]}]})";
  auto status = std::async(std::launch::async, [&] { return runCacheSync(broker_.uri(), 2s); });
  EXPECT_TRUE(publishUntil("/devices/water_1/controls/V", "1.5",
                           [] { return cachedValueIs("water_1.V", 1.5); }));
  EXPECT_EQ(m_timeout_s.load(), 1800);
  ASSERT_EQ(status.wait_for(15s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitNoData);
}

TEST_F(AvailabilityBrokerTest, CacheThreadEndsWithStatusTwoOnAFloodOfEmptyPayloads) {
  configuration = kConfiguration;
  auto status = std::async(std::launch::async, [&] { return runCacheSync(broker_.uri(), 10s); });
  ASSERT_TRUE(publishUntil("/devices/meter_1/controls/P", "1",
                           [] { return cachedValueIs("meter_1.P", 1); }));
  MqttAsyncWrapper flooder("avail_test_flooder", broker_.uri());
  flooder.Connect(true);
  for (int i = 0; i < 102; ++i) {
    flooder.Send("/devices/meter_1/controls/P", "", Qos::AtLeastOnce, false);
  }
  ASSERT_EQ(status.wait_for(15s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitBadPayloads);
}

TEST_F(AvailabilityBrokerTest, CacheThreadRecordsAnUnreadableConfigurationAsFatal) {
  configuration = "{\"io\": [";
  std::string parseError;
  try {
    const auto document = nlohmann::json::parse(configuration);
    ADD_FAILURE() << "parsed: " << document.dump();
  } catch (const nlohmann::json::exception& e) {
    parseError = e.what();
  }
  ASSERT_FALSE(parseError.empty());
  EXPECT_EQ(runCacheSync(broker_.uri(), 2s), kExitFatal);
  EXPECT_EQ(log_.errors(), (std::vector<Record>{{P7::kError, "Fatal error: " + parseError}}));
}

class ErrorMapThread {
 public:
  explicit ErrorMapThread(const std::string& uri)
      : thread_([this, uri](std::stop_token stop) {
          status_ = runErrorMapSync(uri, stop, 200ms);
        }) {}
  std::optional<int> stop() {
    thread_.request_stop();
    thread_.join();
    return status_;
  }

 private:
  std::optional<int> status_{-1};
  std::jthread thread_;
};

kavrion::IoMap ioMapOf(const std::string& configurationText) {
  kavrion::TemplateCacheCleanupGuard guard(false);
  return kavrion::parseIoStructure<kavrion::IoInfo>(nlohmann::json::parse(configurationText),
                                                    guard, true);
}

constexpr const char* kPingA = "/devices/a/meta/error";
constexpr const char* kPingB = "/devices/b/meta/error";
constexpr const char* kTwoDevices = R"({"io":[
  {"id":"a","device":"a","type":"meter_electricity","cells":["P"],"ping":"/devices/a/meta/error"},
  {"id":"b","device":"b","type":"meter_electricity","cells":["P"],"ping":"/devices/b/meta/error"}]})";

TEST_F(AvailabilityBrokerTest, ErrorMapFollowsAnErrorAndItsClearing) {
  initErrorMap(ioMapOf(kTwoDevices));
  ErrorMapThread thread(broker_.uri());
  EXPECT_TRUE(publishUntil(kPingA, "r", [] { return !available(kPingA); }));
  EXPECT_TRUE(available(kPingB));
  publish(kPingA, "");
  EXPECT_TRUE(waitFor([] { return available(kPingA); }));
  EXPECT_EQ(thread.stop(), std::nullopt);
  EXPECT_TRUE(log_.contains({P7::kInfo, "/devices/a/meta/error r"}));
  EXPECT_EQ(log_.count({P7::kInfo, "/devices/a/meta/error null"}), 1u);
}

TEST_F(AvailabilityBrokerTest, OversizedValueOrPingStateIsDroppedWithARecordAndTheNextIsTaken) {
  configuration = kTwoDevices;
  initErrorMap(ioMapOf(kTwoDevices));
  ErrorMapThread errorMap(broker_.uri());
  auto cache = std::async(std::launch::async, [&] { return runCacheSync(broker_.uri(), 5s); });
  ASSERT_TRUE(publishUntil("/devices/a/controls/P", "1", [] { return cachedValueIs("a.P", 1); }));
  ASSERT_TRUE(publishUntil(kPingA, "r", [] { return !available(kPingA); }));
  const std::string oversized(kMaxValuePayloadBytes + 1, '7');
  publish("/devices/a/controls/P", oversized);
  publish("/devices/a/controls/P", "2");
  publish(kPingB, oversized);  // taken, it would make b unavailable
  publish(kPingA, "");
  EXPECT_TRUE(waitFor([] { return cachedValueIs("a.P", 2) && available(kPingA); }));
  EXPECT_TRUE(available(kPingB));
  EXPECT_EQ(errorMap.stop(), std::nullopt);
  ASSERT_EQ(cache.wait_for(15s), std::future_status::ready);
  for (const auto& [client, topic] : {std::pair{"db_listener_cache_sync", "/devices/a/controls/P"},
                                      std::pair{"db_listener_error_handler", kPingB}}) {
    EXPECT_TRUE(log_.contains({P7::kWarning, std::string("MQTT client \"") + client +
                                                 "\" dropped 1 message(s) on \"" + topic +
                                                 "\" of up to 4097 bytes: more than 4096"}))
        << topic;
  }
}

TEST_F(AvailabilityBrokerTest, ErrorMapCountsDevicesAvailableAfterAReconnectUntilReplayed) {
  initErrorMap(ioMapOf(kTwoDevices));
  ErrorMapThread thread(broker_.uri());
  ASSERT_TRUE(publishUntil(kPingA, "r", [] { return !available(kPingA); }));
  ASSERT_TRUE(publishUntil(kPingB, "r", [] { return !available(kPingB); }, true));

  // Device a's error clears while the client is away: that clearing is never delivered.
  broker_.stop();
  std::this_thread::sleep_for(1s);
  broker_.start();

  EXPECT_TRUE(waitFor([] { return available(kPingA); }, 30s));
  // Device b still reports its error, which the broker keeps retained and replays.
  EXPECT_TRUE(waitFor([] { return !available(kPingB); }, 10s));
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(available(kPingA));
  EXPECT_FALSE(available(kPingB));
  EXPECT_TRUE(log_.contains({P7::kInfo, "Error states renewed after a reconnect"}));
  EXPECT_GE(log_.count({P7::kInfo, "/devices/b/meta/error r"}), 2u);
  EXPECT_EQ(thread.stop(), std::nullopt);
}

}  // namespace
}  // namespace norvane
