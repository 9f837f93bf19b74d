// The real binary end to end: live meter messages, back-fill from the history stand-in,
// bad live values and unavailable devices.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "mqtt_async_wrapper.h"
#include "namespace_harness.h"
#include "peers/device_publisher.h"
#include "peers/history_stand_in.h"
#include "peers/series.h"

namespace norvane {
namespace {

using namespace std::chrono_literals;
using kavrion::mosquitto::Qos;
using nlohmann::json;

constexpr const char* kMeterTopic = "/kv/bridge/data/meter";
constexpr const char* kConfiguration = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"meter_electricity","cells":["P","U"],
   "ping":"/devices/meter_1/meta/error"},
  {"id":"m2","device":"meter_2","type":"meter_electricity","cells":["P"],
   "ping":"/devices/meter_2/meta/error"}]})";

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

class EndToEndSystemTest : public testing::NamespaceTest {
 protected:
  void TearDown() override {
    stopDevices();
    testing::NamespaceTest::TearDown();
  }

  // Publishes the series value of every control once a second, and "nan" for the
  // controls named in nanControls.
  void startDevices(std::vector<peers::Control> nanControls = {}) {
    devicesClient_ = connectClient("e2e_system_devices");
    std::vector<peers::Control> controls = {{"meter_1", "P"}, {"meter_1", "U"}, {"meter_2", "P"}};
    devices_ = std::thread([this, controls, nanControls] {
      while (!stopDevices_) {
        peers::publishValues(*devicesClient_, controls, now(), false);
        for (const auto& control : nanControls) {
          devicesClient_->Send(peers::controlTopic(control), "nan", Qos::AtMostOnce, false);
        }
        std::this_thread::sleep_for(1s);
      }
    });
  }
  void stopDevices() {
    stopDevices_ = true;
    if (devices_.joinable()) {
      devices_.join();
    }
  }

  void startWithConfiguration() {
    meter_ = connectClient("e2e_system_meter");
    meter_->Subscribe(kMeterTopic, Qos::ExactlyOnce, false);
    publish("/kv/bridge/configuration", kConfiguration, true);
    startService();
  }

  std::optional<json> meterMessage(std::chrono::milliseconds timeout) {
    try {
      const auto message = meter_->Receive(kMeterTopic, timeout);
      return json::parse(message.payload.begin(), message.payload.end());
    } catch (const std::runtime_error&) {
      return std::nullopt;
    }
  }

  static void expectOneFigureEach(const json& cell) {
    ASSERT_EQ(cell["avg"].size(), 1U) << cell;
    ASSERT_EQ(cell["max"].size(), 1U) << cell;
    ASSERT_EQ(cell["min"].size(), 1U) << cell;
    EXPECT_LE(cell["min"][0].get<double>(), cell["avg"][0].get<double>()) << cell;
    EXPECT_LE(cell["avg"][0].get<double>(), cell["max"][0].get<double>()) << cell;
  }

  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> meter_;

 private:
  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> devicesClient_;
  std::atomic<bool> stopDevices_{false};
  std::thread devices_;
};

TEST_F(EndToEndSystemTest, LiveValuesBecomeAMeterMessageEveryMinute) {
  startDevices();
  const int64_t started = now();
  startWithConfiguration();
  const auto first = meterMessage(100s);
  ASSERT_TRUE(first) << readLog();
  const auto second = meterMessage(75s);
  ASSERT_TRUE(second) << readLog();

  EXPECT_GE((*first)["timestamp"].get<int64_t>(), started + 60);
  EXPECT_EQ((*second)["timestamp"].get<int64_t>() - (*first)["timestamp"].get<int64_t>(), 60);
  EXPECT_NE((*first)["msg_id"], (*second)["msg_id"]);
  for (const json* message : {&*first, &*second}) {
    const json& io = (*message)["io"];
    EXPECT_EQ(io["m1"]["type"], "meter_electricity");
    expectOneFigureEach(io["m1"]["data"]["P"]);
    expectOneFigureEach(io["m1"]["data"]["U"]);
    expectOneFigureEach(io["m2"]["data"]["P"]);
  }
  EXPECT_TRUE(serviceRunning());
}

TEST_F(EndToEndSystemTest, SeededOldIntervalIsBackFilledWindowByWindow) {
  startDevices();
  peers::HistoryStandIn history(kBrokerUri, "e2e_system_history");
  const int64_t a = now() - 3600;
  const int64_t current = now();
  writeFile("/tmp/norvane/timestamp",
            fmt::format(R"({{"intervals":[{{"a":{},"b":{}}},{{"a":{}}}]}})", a, a + 240, current));
  startWithConfiguration();

  for (const int64_t end : {a + 120, a + 240, a + 360}) {
    const auto message = meterMessage(60s);
    ASSERT_TRUE(message) << readLog();
    EXPECT_EQ((*message)["timestamp"].get<int64_t>(), end);
    for (const auto& [id, device, cell] :
         {std::tuple{"m1", "meter_1", "P"}, {"m1", "meter_1", "U"}, {"m2", "meter_2", "P"}}) {
      const auto figures = peers::windowFigures(device, cell, end - 120, end);
      EXPECT_EQ((*message)["io"][id]["data"][cell],
                (json{{"avg", {figures.average}}, {"max", {figures.max}}, {"min", {figures.min}}}))
          << id << "." << cell;
    }
  }
  // Then only the current interval, in 60-second windows from where it started.
  const auto live = meterMessage(100s);
  ASSERT_TRUE(live) << readLog();
  EXPECT_GE((*live)["timestamp"].get<int64_t>(), current + 60);
  EXPECT_EQ(((*live)["timestamp"].get<int64_t>() - current) % 60, 0);
  EXPECT_EQ(history.requests().size(), 9U) << "three windows of three cells";
  const std::string progress = readFile("/tmp/norvane/timestamp");
  EXPECT_EQ(json::parse(progress)["intervals"].size(), 1U) << progress;
}

TEST_F(EndToEndSystemTest, LiveWindowsKeepComingDuringALongBackFill) {
  startDevices();
  // 20 ms per answer: ten days of windows take longer than the test.
  peers::HistoryStandIn history(kBrokerUri, "e2e_system_history", peers::answer(20ms));
  const int64_t current = now();
  writeFile("/tmp/norvane/timestamp",
            fmt::format(R"({{"intervals":[{{"a":{},"b":{}}},{{"a":{}}}]}})", current - 864000,
                        current - 3600, current));
  startWithConfiguration();

  bool liveSeen = false;
  int oldAfterLive = 0;
  const auto deadline = std::chrono::steady_clock::now() + 200s;
  while (std::chrono::steady_clock::now() < deadline && oldAfterLive < 5) {
    // The first window waits out the service's 20-second start.
    const auto message = meterMessage(60s);
    ASSERT_TRUE(message) << readLog();
    const int64_t timestamp = (*message)["timestamp"].get<int64_t>();
    if (timestamp >= current) {
      EXPECT_EQ(timestamp, current + 120) << "live windows are 120 s while old ones remain";
      liveSeen = true;
    } else if (liveSeen) {
      ++oldAfterLive;
    }
  }
  EXPECT_TRUE(liveSeen);
  EXPECT_EQ(oldAfterLive, 5) << "the back-fill goes on after the live window";
}

TEST_F(EndToEndSystemTest, NotANumberOnALiveControlIsLeftOutAndTheServiceRuns) {
  startDevices({{"meter_1", "P"}});
  startWithConfiguration();
  const auto message = meterMessage(100s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_FALSE((*message)["io"]["m1"]["data"].contains("P")) << *message;
  expectOneFigureEach((*message)["io"]["m1"]["data"]["U"]);
  EXPECT_TRUE(meterMessage(75s)) << readLog();
  EXPECT_TRUE(serviceRunning()) << readLog();
  EXPECT_NE(readLog().find("Non-finite value of meter_1.P left out"), std::string::npos);
}

TEST_F(EndToEndSystemTest, DeviceWhosePingReportsAnErrorIsLeftOut) {
  publish("/devices/meter_1/meta/error", "r", true);
  startDevices();
  startWithConfiguration();
  const auto message = meterMessage(100s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_FALSE((*message)["io"].contains("m1")) << *message;
  expectOneFigureEach((*message)["io"]["m2"]["data"]["P"]);
  EXPECT_NE(readLog().find("Устройство \"m1\" не доступно. Определяли по "
                           "\"/devices/meter_1/meta/error\"."),
            std::string::npos);
}

}  // namespace
}  // namespace norvane
