// The real binary back-filling old intervals against a history peer that is silent, dead,
// malformed, or outlived by a killed service; and progress files it must repair.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "peers/history_stand_in.h"
#include "sim_support.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Type "t" keeps the cache's time-out at 30 minutes: these tests run without devices.
constexpr const char* kTwoCells = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"t","cells":["P","U"]}]})";
constexpr const char* kOneCell = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"t","cells":["P"]}]})";

std::string requestedCell(const peers::ReceivedRequest& request) {
  return json::parse(request.text)["params"]["channels"][0][1].get<std::string>();
}
int64_t requestedStart(const peers::ReceivedRequest& request) {
  return json::parse(request.text)["params"]["timestamp"]["gt"].get<int64_t>();
}
bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
std::string withoutCounter(const std::string& topic) { return topic.substr(0, topic.rfind('N')); }

using BackFillSim = SimSystemTest;

TEST_F(BackFillSim, SilentRequestMovesTheTopicsToTheNextCounterAndTheWindowGoesOn) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer());
  history.script({peers::silence()});
  const int64_t a = now() - 3600;
  seedProgress({{"intervals", {{{"a", a}, {"b", a + 120}}, {{"a", now()}}}}});
  startWithConfiguration(kTwoCells);

  const auto message = nextMeterMessageWhere([&](int64_t t) { return t < a + 3600; }, 120s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_EQ((*message)["timestamp"], a + 120);
  const auto requests = history.requests();
  ASSERT_GE(requests.size(), 2U);
  EXPECT_TRUE(endsWith(requests[0].topic, "_N0")) << requests[0].topic;
  EXPECT_TRUE(endsWith(requests[1].topic, "_N1")) << requests[1].topic;
  EXPECT_EQ(withoutCounter(requests[0].topic), withoutCounter(requests[1].topic));
  // The silent cell is lost for this window; the answered one is published.
  const json& data = (*message)["io"]["m1"]["data"];
  EXPECT_FALSE(data.contains(requestedCell(requests[0]))) << *message;
  EXPECT_TRUE(data.contains(requestedCell(requests[1]))) << *message;
  EXPECT_NE(readLog().find(fmt::format("no message on \"{}/reply\" within 60 s", requests[0].topic)),
            std::string::npos)
      << readLog();
  EXPECT_TRUE(serviceRunning());
}

TEST_F(BackFillSim, DeadHistoryPeerPostponesTheWindowInsteadOfUsingUpTheInterval) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer());
  history.script({peers::silence(), peers::silence()});
  const int64_t a = now() - 3600;
  seedProgress({{"intervals", {{{"a", a}, {"b", a + 240}}, {{"a", now()}}}}});
  startWithConfiguration(kTwoCells);

  const std::string postponed =
      fmt::format("wb-mqtt-db does not answer, window {}-{} postponed", a, a + 120);
  ASSERT_TRUE(waitForLog(postponed, 150s)) << readLog();
  // The same window is asked again: its figures arrive complete, nothing of it was lost.
  const auto message = nextMeterMessageWhere([&](int64_t t) { return t < a + 3600; }, 30s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_EQ((*message)["timestamp"], a + 120);
  EXPECT_TRUE((*message)["io"]["m1"]["data"].contains("P")) << *message;
  EXPECT_TRUE((*message)["io"]["m1"]["data"].contains("U")) << *message;
  const auto requests = history.requests();
  ASSERT_GE(requests.size(), 3U);
  EXPECT_EQ(requestedStart(requests[2]), a) << requests[2].text;
  EXPECT_TRUE(endsWith(requests[2].topic, "_N2")) << requests[2].topic;
}

TEST_F(BackFillSim, MalformedRepliesOfEveryKindNeverEndTheService) {
  const auto& kinds = peers::allMalformations();
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::malformed(kinds));
  const int64_t a = now() - 7200;
  seedProgress({{"intervals", {{{"a", a}, {"b", now() - 600}}, {{"a", now()}}}}});
  startWithConfiguration(kOneCell);

  // Every kind twice, one after the other.
  ASSERT_TRUE(history.waitForRequests(2 * kinds.size() + 1, 90s)) << readLog();
  const auto settled = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < settled) {
    ASSERT_TRUE(serviceRunning()) << readLog() << serviceOutput();
    std::this_thread::sleep_for(100ms);
  }
  const std::string log = readLog();
  for (const char* record : {"Malformed reply from wb-mqtt-db: ", "Empty respone from wb-mqtt-db: ",
                             "Error while postpocessing value: "}) {
    EXPECT_NE(log.find(record), std::string::npos) << record;
  }
  EXPECT_EQ(log.find("Fatal error"), std::string::npos) << log;
  // Answered requests, however badly, use up their windows.
  EXPECT_GT(json::parse(readFile(kProgressFile))["intervals"][0]["a"].get<int64_t>(), a);
}

TEST_F(BackFillSim, KilledAtRandomMomentsTheServiceKeepsAValidFileAndItsProgress) {
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

TEST_F(BackFillSim, DamagedOldIntervalIsDroppedAloneAndTheOthersAreBackFilled) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer());
  const int64_t a = now() - 3600;
  seedProgress({{"intervals",
                 {{{"a", a - 600}, {"b", "soon"}}, {{"a", a}, {"b", a + 120}}, {{"a", now()}}}}});
  startWithConfiguration(kOneCell);

  const auto message = nextMeterMessageWhere([&](int64_t t) { return t < a + 3600; }, 60s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_EQ((*message)["timestamp"], a + 120);
  EXPECT_NE(readLog().find("Progress interval 0 dropped: \"b\" is not a number"),
            std::string::npos)
      << readLog();
  ASSERT_TRUE(history.waitForRequests(1, 1s));
  EXPECT_EQ(requestedStart(history.requests()[0]), a) << "the damaged interval is never asked";
  // Once the good old interval is used up only the current one remains.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  json document;
  do {
    document = json::parse(readFile(kProgressFile));
  } while (document["intervals"].size() != 1U && std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(100ms), true));
  EXPECT_EQ(document["intervals"].size(), 1U) << document;
  EXPECT_FALSE(document["intervals"][0].contains("b")) << document;
}

TEST_F(BackFillSim, CorruptProgressFileIsReplacedByAFreshOne) {
  writeFile(kProgressFile, R"({"intervals":[{"a":17651)");
  const int64_t before = now();
  startWithConfiguration(kOneCell);
  ASSERT_TRUE(waitForLog("[json.exception.parse_error.101]", 40s)) << readLog();
  const json document = json::parse(readFile(kProgressFile));
  ASSERT_EQ(document["intervals"].size(), 1U) << document;
  EXPECT_GE(document["intervals"][0]["a"].get<int64_t>(), before);
  EXPECT_TRUE(serviceRunning());
}

TEST_F(BackFillSim, StaleCurrentIntervalIsMovedToThePresent) {
  const int64_t stale = now() - 3 * 3600;
  seedProgress({{"intervals", {{{"a", stale}}}}});
  const int64_t before = now();
  startDevices({{"meter_1", "P"}});
  startWithConfiguration(kOneCell);
  // The gap is not caught up: the first window ends a minute after the loop began.
  const auto first = nextMeterMessage(100s);
  ASSERT_TRUE(first) << readLog();
  const int64_t end = (*first)["timestamp"].get<int64_t>();
  EXPECT_GE(end, before + 60);
  EXPECT_LE(end, now());
  EXPECT_TRUE(serviceRunning());
}

}  // namespace
}  // namespace norvane::sim
