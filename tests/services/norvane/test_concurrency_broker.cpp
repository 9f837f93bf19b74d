// Both availability threads and current collection steps at once against a real broker, so
// that the thread sanitizer sees the error map and the cache shared as the service shares them.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "availability_cache.h"
#include "availability_support.h"
#include "collection_step.h"
#include "error_map.h"
#include "mqtt_async_wrapper.h"
#include "service_state.h"
#include "test_broker.h"

namespace norvane {
namespace {

using kavrion::mosquitto::MqttAsyncWrapper;
using kavrion::mosquitto::Qos;
using norvane::testing::ExitTrap;
using norvane::testing::RecordLog;
using norvane::testing::TestBroker;
using norvane::testing::waitFor;
using namespace std::chrono_literals;

constexpr const char* kPing = "/devices/meter_1/meta/error";
constexpr const char* kConfiguration = R"({"io":[
  {"id":"m1","device":"meter_1","type":"meter_electricity","cells":["P","U"],
   "ping":"/devices/meter_1/meta/error"},
  {"id":"w2","device":"water_2","type":"water","cells":["V"],
   "ping":"/devices/water_2/meta/error"}]})";
constexpr int kStepCount = 25;
constexpr int kPublishedMax = 1000;

bool cached(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  return m_cache.count(key) != 0;
}

// Values 1..kPublishedMax over and over, and the meter's error raised and cleared meanwhile.
class BusTraffic {
 public:
  explicit BusTraffic(const std::string& uri)
      : client_("concurrency_test_publisher", uri), thread_([this](std::stop_token stop) {
          run(stop);
        }) {}
  void stop() {
    thread_.request_stop();
    thread_.join();
  }

 private:
  void run(std::stop_token stop) {
    client_.Connect(true);
    for (int n = 1; !stop.stop_requested(); n = n % kPublishedMax + 1) {
      const std::string value = std::to_string(n);
      client_.Send("/devices/meter_1/controls/P", value, Qos::AtMostOnce, false);
      client_.Send("/devices/water_2/controls/V", value, Qos::AtMostOnce, false);
      if (n % 50 == 0) client_.Send(kPing, n % 100 == 0 ? "" : "r", Qos::AtMostOnce, false);
      std::this_thread::sleep_for(2ms);
    }
  }

  MqttAsyncWrapper client_;
  std::jthread thread_;
};

std::optional<nlohmann::json> lastMessage(const RecordLog& log) {
  const std::string prefix = "Request complete! Response:\n";
  const auto records = log.records();
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    if (record->text.rfind(prefix, 0) == 0 && record->text.size() > prefix.size()) {
      return nlohmann::json::parse(record->text.substr(prefix.size()));
    }
  }
  return std::nullopt;
}

TEST(ConcurrentAvailability, CurrentStepsRunCleanlyWhileBothThreadsUpdateTheirMaps) {
  TestBroker broker;
  RecordLog log;
  ExitTrap exitTrap;
  {
    std::lock_guard<std::mutex> lock(m_mutex_cache);
    m_cache.clear();
    m_last_update_cache = std::chrono::steady_clock::now();
  }
  configuration = kConfiguration;
  kavrion::TemplateCacheCleanupGuard guard(false);
  const auto ioMap = kavrion::parseIoStructure<kavrion::IoInfo>(
      nlohmann::json::parse(kConfiguration), guard, true);
  initErrorMap(ioMap);

  std::optional<int> errorMapStatus{-1};
  std::jthread errorMap([&](std::stop_token stop) {
    errorMapStatus = runErrorMapSync(broker.uri(), stop, 100ms);
  });
  auto cacheStatus =
      std::async(std::launch::async, [&] { return runCacheSync(broker.uri(), 2s); });
  BusTraffic traffic(broker.uri());
  ASSERT_TRUE(waitFor([] { return cached("meter_1.P") && cached("water_2.V"); }, 20s));

  auto stepClient = std::make_shared<MqttAsyncWrapper>("concurrency_test_step", broker.uri());
  stepClient->Connect(true);
  int withWater = 0;
  for (int step = 0; step < kStepCount; ++step) {
    const int64_t end = 1700000060 + 60 * step;
    EXPECT_EQ(performStep({end - 60, end}, true, ioMap, stepClient), StepOutcome::kDone);
    const auto message = lastMessage(log);
    if (message && message->at("io").contains("w2")) {
      const double avg = message->at("io")["w2"]["data"]["V"]["avg"][0].get<double>();
      EXPECT_GE(avg, 1);
      EXPECT_LE(avg, kPublishedMax);
      ++withWater;
    }
    std::this_thread::sleep_for(20ms);
  }
  traffic.stop();
  errorMap.request_stop();
  errorMap.join();

  EXPECT_GT(withWater, 0) << "no step carried a live value";
  EXPECT_EQ(errorMapStatus, std::nullopt);
  ASSERT_EQ(cacheStatus.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(cacheStatus.get(), kExitNoData);
  EXPECT_TRUE(log.errors().empty());
}

}  // namespace
}  // namespace norvane
