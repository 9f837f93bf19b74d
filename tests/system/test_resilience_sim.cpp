// The real binary while its devices fail and recover, report values that are no numbers,
// and while its broker goes away for a few seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim_support.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kTwoMeters = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"meter_electricity","cells":["P","U"],
   "ping":"/devices/meter_1/meta/error"},
  {"id":"m2","device":"meter_2","type":"meter_electricity","cells":["P"],
   "ping":"/devices/meter_2/meta/error"}]})";
const std::vector<peers::Control> kTwoMetersControls = {
    {"meter_1", "P"}, {"meter_1", "U"}, {"meter_2", "P"}};

using ResilienceSim = SimSystemTest;

TEST_F(ResilienceSim, ErrorOnAPingTopicRemovesTheDeviceAndAnEmptyPayloadBringsItBack) {
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

TEST_F(ResilienceSim, InfinityOnALiveControlIsLeftOutAndNeverEndsTheService) {
  startDevices(kTwoMetersControls, {{"meter_1/P", "inf"}, {"meter_2/P", "-inf"}});
  startWithConfiguration(kTwoMeters);
  for (int window = 0; window < 2; ++window) {
    const auto message = nextMeterMessage(window == 0 ? 100s : 75s);
    ASSERT_TRUE(message) << readLog();
    EXPECT_FALSE((*message)["io"]["m1"]["data"].contains("P")) << *message;
    EXPECT_EQ((*message)["io"]["m1"]["data"]["U"]["avg"].size(), 1U) << *message;
    EXPECT_FALSE((*message)["io"].contains("m2") && (*message)["io"]["m2"]["data"].contains("P"))
        << *message;
  }
  EXPECT_TRUE(serviceRunning()) << readLog();
  EXPECT_NE(readLog().find("Non-finite value of meter_1.P left out"), std::string::npos);
  EXPECT_NE(readLog().find("Non-finite value of meter_2.P left out"), std::string::npos);
}

TEST_F(ResilienceSim, BrokerRestartedAfterFiveSecondsLosesNoWindow) {
  startDevices(kTwoMetersControls);
  startWithConfiguration(kTwoMeters);
  const auto first = nextMeterMessage(100s);
  ASSERT_TRUE(first) << readLog();
  const int64_t firstEnd = (*first)["timestamp"].get<int64_t>();

  // The broker goes down just before the next window closes, so that window's message is
  // published while the service is cut off.
  std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(firstEnd + 57));
  broker().stop();
  std::this_thread::sleep_for(5s);
  broker().start();

  std::set<int64_t> ends;
  const auto deadline = std::chrono::steady_clock::now() + 150s;
  while (ends.count(firstEnd + 120) == 0 && std::chrono::steady_clock::now() < deadline) {
    if (const auto message = nextMeterMessage(5s)) ends.insert((*message)["timestamp"].get<int64_t>());
  }
  EXPECT_EQ(ends, (std::set<int64_t>{firstEnd + 60, firstEnd + 120})) << readLog();
  EXPECT_TRUE(serviceRunning()) << readLog() << serviceOutput();
}

// Well-formed control topics keep the cache thread's receive alive, but values that are no
// numbers never refresh the cache: the collection step finds it stale after 300 s.
TEST_F(ResilienceSim, ValuesThatAreNoNumbersEndTheServiceWithStatusThreeAsStaleCache) {
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
