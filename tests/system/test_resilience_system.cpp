// The real binary across a broker restart and kills at random moments: no window lost, the
// progress file always whole and never going backwards.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "simulated_controller.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

using ResilienceSystem = SimulatedControllerTest;

TEST_F(ResilienceSystem, BrokerRestartedAfterFiveSecondsLosesNoWindow) {
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

TEST_F(ResilienceSystem, KilledAtRandomMomentsTheServiceKeepsAValidFileAndItsProgress) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer(20ms));
  const int64_t a = now() - 864000;
  const int64_t b = now() - 3600;
  seedProgress({{"intervals", {{{"a", a}, {"b", b}}, {{"a", now()}}}}});
  publish(kConfigurationTopic, kOneCell, true);

  std::random_device device;
  const unsigned seed = device();
  std::mt19937 random(seed);
  SCOPED_TRACE(fmt::format("random seed {}", seed));
  int64_t kept = a;
  for (int round = 0; round < 3; ++round) {
    const std::size_t before = history.requests().size();
    startService();
    ASSERT_TRUE(history.waitForRequests(before + 3, 60s)) << readLog();
    // The restarted service asks where the file says the old interval goes on.
    EXPECT_EQ(requestedStart(history.requests()[before]), kept) << "round " << round;
    const auto killAt = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 2000)(random));
    while (std::chrono::steady_clock::now() < killAt) {
      const json document = json::parse(readFile(kProgressFile));  // throws on a torn file
      ASSERT_GE(document["intervals"][0]["a"].get<int64_t>(), kept);
      std::this_thread::sleep_for(5ms);
    }
    killService();
    const std::string text = readFile(kProgressFile);
    ASSERT_TRUE(json::accept(text)) << "round " << round << ": " << text;
    const json document = json::parse(text);
    ASSERT_EQ(document["intervals"].size(), 2U) << text;
    EXPECT_EQ(document["intervals"][0]["b"], b) << text;
    const int64_t start = document["intervals"][0]["a"].get<int64_t>();
    EXPECT_GE(start, kept) << "progress went backwards in round " << round;
    kept = start;
  }
  EXPECT_GT(kept, a) << "no progress was kept";
}

TEST_F(ResilienceSystem, HugeMessagesOnTheConfigurationAndAControlCostNeitherMemoryNorLog) {
  using kavrion::mosquitto::Qos;
  const std::string huge(30 << 20, '{');  // not JSON either
  const auto client = connectClient("sim_huge");
  client->Send(kConfigurationTopic, huge, Qos::AtLeastOnce, true);  // delivered first at a start
  startDevices(kTwoMetersControls);
  startService();
  ASSERT_TRUE(waitForLog("No cached configuration", 30s)) << readLog();
  // Just above the bound the service drops it itself, with a record; far above it the
  // broker does not even send it.
  client->Send(kConfigurationTopic, std::string((4 << 20) + 1, '{'), Qos::AtLeastOnce, false);
  ASSERT_TRUE(waitForLog("dropped 1 message(s) on \"/kv/bridge/configuration\" of up to 4194305 "
                         "bytes: more than 4194304",
                         20s))
      << readLog();
  client->Send(kConfigurationTopic, kTwoMeters, Qos::AtLeastOnce, true);
  ASSERT_TRUE(waitForLog("MQTT client \"db_listener_cache_sync\" connected", 60s)) << readLog();
  std::this_thread::sleep_for(3s);
  const std::size_t before = serviceResidentKiB();
  client->Send("/devices/meter_1/controls/P", huge, Qos::AtLeastOnce, false);
  std::this_thread::sleep_for(5s);
  EXPECT_LT(before, 12U * 1024) << "a configuration message stayed in memory";
  EXPECT_LT(serviceResidentKiB(), before + 2 * 1024) << before;
  EXPECT_LT(readLog().size(), 64U * 1024);
  EXPECT_TRUE(serviceRunning()) << readLog();
}

}  // namespace
}  // namespace norvane::sim
