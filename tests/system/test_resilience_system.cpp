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

}  // namespace
}  // namespace norvane::sim
