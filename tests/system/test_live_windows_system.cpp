// The real binary turning live values into a meter message every minute, and leaving out
// the values that are no finite numbers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "simulated_controller.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

using LiveWindowsSystem = SimulatedControllerTest;

TEST_F(LiveWindowsSystem, LiveValuesBecomeAMeterMessageEveryMinute) {
  startDevices(kTwoMetersControls);
  const int64_t started = now();
  startWithConfiguration(kTwoMeters);
  const auto first = nextMeterMessage(100s);
  ASSERT_TRUE(first) << readLog();
  const auto second = nextMeterMessage(75s);
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

TEST_F(LiveWindowsSystem, NotANumberOnALiveControlIsLeftOutAndTheServiceRuns) {
  startDevices(kTwoMetersControls, {{"meter_1/P", "nan"}});
  startWithConfiguration(kTwoMeters);
  const auto message = nextMeterMessage(100s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_FALSE((*message)["io"]["m1"]["data"].contains("P")) << *message;
  expectOneFigureEach((*message)["io"]["m1"]["data"]["U"]);
  EXPECT_TRUE(nextMeterMessage(75s)) << readLog();
  EXPECT_TRUE(serviceRunning()) << readLog();
  EXPECT_NE(readLog().find("Non-finite value of meter_1.P left out"), std::string::npos);
}

TEST_F(LiveWindowsSystem, InfinityOnALiveControlIsLeftOutAndNeverEndsTheService) {
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

}  // namespace
}  // namespace norvane::sim
