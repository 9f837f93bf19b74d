// The real binary watching its devices: a device whose ping topic reports an error is left
// out until it recovers; a flood of empty payloads, a silent bus and a stale cache end the
// service with their own exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "simulated_controller.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using kavrion::mosquitto::Qos;
using nlohmann::json;

using DeviceAvailabilitySystem = SimulatedControllerTest;

TEST_F(DeviceAvailabilitySystem, DeviceWhosePingReportsAnErrorIsLeftOut) {
  publish("/devices/meter_1/meta/error", "r", true);
  startDevices(kTwoMetersControls);
  startWithConfiguration(kTwoMeters);
  const auto message = nextMeterMessage(100s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_FALSE((*message)["io"].contains("m1")) << *message;
  expectOneFigureEach((*message)["io"]["m2"]["data"]["P"]);
  EXPECT_NE(readLog().find("Устройство \"m1\" не доступно. Определяли по "
                           "\"/devices/meter_1/meta/error\"."),
            std::string::npos);
}

TEST_F(DeviceAvailabilitySystem, ErrorOnAPingTopicRemovesTheDeviceAndAnEmptyPayloadBringsItBack) {
  startDevices(kTwoMetersControls);
  startWithConfiguration(kTwoMeters);
  const auto healthy = nextMeterMessage(100s);
  ASSERT_TRUE(healthy) << readLog();
  EXPECT_TRUE((*healthy)["io"].contains("m1")) << *healthy;

  publish("/devices/meter_1/meta/error", "r", true);
  const auto failing = nextMeterMessage(75s);
  ASSERT_TRUE(failing) << readLog();
  EXPECT_FALSE((*failing)["io"].contains("m1")) << *failing;
  EXPECT_EQ((*failing)["io"]["m2"]["data"]["P"]["avg"].size(), 1U) << *failing;

  publish("/devices/meter_1/meta/error", "", true);
  const auto recovered = nextMeterMessage(75s);
  ASSERT_TRUE(recovered) << readLog();
  EXPECT_EQ((*recovered)["io"]["m1"]["data"]["P"]["avg"].size(), 1U) << *recovered;
  EXPECT_EQ((*recovered)["io"]["m1"]["data"]["U"]["avg"].size(), 1U) << *recovered;
  const std::string log = readLog();
  EXPECT_NE(log.find("/devices/meter_1/meta/error r"), std::string::npos) << log;
  EXPECT_NE(log.find("/devices/meter_1/meta/error null"), std::string::npos) << log;
}

TEST_F(DeviceAvailabilitySystem, FloodOfEmptyPayloadsEndsTheServiceWithStatusTwo) {
  startWithConfiguration(R"({"created_at_ts":1765152000,"io":[
    {"id":"w1","device":"water_1","type":"water","cells":["V"]}]})");
  auto client = connectClient("avail_system_flooder");
  // The cache thread subscribes about 20 s after start; flood until it has seen enough.
  const auto deadline = std::chrono::steady_clock::now() + 90s;
  std::optional<int> status;
  while (!status && std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 110; ++i) {
      client->Send("/devices/water_1/controls/V", "", Qos::AtMostOnce, false);
    }
    status = waitForExit(1s);
  }
  ASSERT_TRUE(status.has_value()) << serviceOutput();
  EXPECT_EQ(*status, 2) << readLog();
  EXPECT_EQ(readLog().find("Fatal error"), std::string::npos);
}

// The device reports an error, so no collection step reads the cache and only the cache
// thread's own wait can notice the silence: 300 s with an electricity meter configured.
TEST_F(DeviceAvailabilitySystem, SilentBusEndsTheServiceWithStatusOneAfterFiveMinutes) {
  publish("/devices/meter_1/meta/error", "r", true);
  const auto started = std::chrono::steady_clock::now();
  startWithConfiguration(R"({"created_at_ts":1765152000,"io":[
    {"id":"m1","device":"meter_1","type":"meter_electricity","cells":["P"],
     "ping":"/devices/meter_1/meta/error"}]})");
  const auto status = waitForExit(420s);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(status.has_value()) << serviceOutput();
  EXPECT_EQ(*status, 1) << readLog();
  EXPECT_GE(elapsed, 300s);
  const std::string log = readLog();
  EXPECT_NE(log.find("/devices/meter_1/meta/error r"), std::string::npos);
  EXPECT_NE(log.find("Устройство \"m1\" не доступно."), std::string::npos);
}

// Well-formed control topics keep the cache thread's receive alive, but values that are no
// numbers never refresh the cache: the collection step finds it stale after 300 s.
TEST_F(DeviceAvailabilitySystem, ValuesThatAreNoNumbersEndTheServiceWithStatusThreeAsStaleCache) {
  startDevices({{"meter_1", "P"}}, {{"meter_1/P", "abc"}});
  const auto started = std::chrono::steady_clock::now();
  startWithConfiguration(R"({"created_at_ts":1765152000,"io":[
    {"id":"m1","device":"meter_1","type":"meter_electricity","cells":["P"]}]})");
  const auto status = waitForExit(450s);
  ASSERT_TRUE(status) << readLog();
  EXPECT_EQ(*status, 3) << readLog();
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300s);
  const std::string log = readLog();
  EXPECT_NE(log.find("Invalid argument:  stod. Value: \"abc\" "), std::string::npos) << log;
  EXPECT_EQ(log.find("Fatal error"), std::string::npos) << log;
}

}  // namespace
}  // namespace norvane::sim
