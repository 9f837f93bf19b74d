// The real binary's exits when its live values turn unusable or stop.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "mqtt_async_wrapper.h"
#include "namespace_harness.h"

namespace norvane {
namespace {

using kavrion::mosquitto::Qos;
using namespace std::chrono_literals;

class AvailabilitySystemTest : public testing::NamespaceTest {
 protected:
  void startWithConfiguration(const std::string& configurationText) {
    publish("/kv/bridge/configuration", configurationText, true);
    startService();
  }
};

TEST_F(AvailabilitySystemTest, FloodOfEmptyPayloadsEndsTheServiceWithStatusTwo) {
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
TEST_F(AvailabilitySystemTest, SilentBusEndsTheServiceWithStatusOneAfterFiveMinutes) {
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

}  // namespace
}  // namespace norvane
