// The real binary back-filling old intervals window by window from the history peer, beside
// the live windows, while that peer is silent, dead, falls silent mid-window or answers
// malformed replies.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "peers/series.h"
#include "simulated_controller.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kTwoCells = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"t","cells":["P","U"]}]})";
constexpr const char* kFourCells = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"t","cells":["P","U","I","F"]}]})";

std::string requestedCell(const peers::ReceivedRequest& request) {
  return json::parse(request.text)["params"]["channels"][0][1].get<std::string>();
}
bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
std::string withoutCounter(const std::string& topic) { return topic.substr(0, topic.rfind('N')); }

using BackFillSystem = SimulatedControllerTest;

TEST_F(BackFillSystem, SeededOldIntervalIsBackFilledWindowByWindow) {
  startDevices(kTwoMetersControls);
  peers::HistoryStandIn history(kBrokerUri, "e2e_system_history");
  const int64_t a = now() - 3600;
  const int64_t current = now();
  writeFile("/tmp/norvane/timestamp",
            fmt::format(R"({{"intervals":[{{"a":{},"b":{}}},{{"a":{}}}]}})", a, a + 240, current));
  startWithConfiguration(kTwoMeters);

  for (const int64_t end : {a + 120, a + 240, a + 360}) {
    const auto message = nextMeterMessage(60s);
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
  const auto live = nextMeterMessage(100s);
  ASSERT_TRUE(live) << readLog();
  EXPECT_GE((*live)["timestamp"].get<int64_t>(), current + 60);
  EXPECT_EQ(((*live)["timestamp"].get<int64_t>() - current) % 60, 0);
  EXPECT_EQ(history.requests().size(), 9U) << "three windows of three cells";
  const std::string progress = readFile("/tmp/norvane/timestamp");
  EXPECT_EQ(json::parse(progress)["intervals"].size(), 1U) << progress;
}

TEST_F(BackFillSystem, LiveWindowsKeepComingDuringALongBackFill) {
  startDevices(kTwoMetersControls);
  // 20 ms per answer: ten days of windows take longer than the test.
  peers::HistoryStandIn history(kBrokerUri, "e2e_system_history", peers::answer(20ms));
  const int64_t current = now();
  writeFile("/tmp/norvane/timestamp",
            fmt::format(R"({{"intervals":[{{"a":{},"b":{}}},{{"a":{}}}]}})", current - 864000,
                        current - 3600, current));
  startWithConfiguration(kTwoMeters);

  bool liveSeen = false;
  int oldAfterLive = 0;
  const auto deadline = std::chrono::steady_clock::now() + 200s;
  while (std::chrono::steady_clock::now() < deadline && oldAfterLive < 5) {
    // The first window waits out the service's 20-second start.
    const auto message = nextMeterMessage(60s);
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

TEST_F(BackFillSystem, SilentRequestMovesTheTopicsToTheNextCounterAndTheWindowGoesOn) {
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

TEST_F(BackFillSystem, DeadHistoryPeerPostponesTheWindowInsteadOfUsingUpTheInterval) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer());
  history.script({peers::silence(), peers::silence()});
  const int64_t a = now() - 3600;
  seedProgress({{"intervals", {{{"a", a}, {"b", a + 240}}, {{"a", now()}}}}});
  startWithConfiguration(kTwoCells);

  const std::string postponed =
      fmt::format("wb-mqtt-db does not answer, window {}-{} postponed", a, a + 120);
  ASSERT_TRUE(waitForLog(postponed, 150s)) << readLog();
  // The same window is asked again after a minute's rest: its figures arrive complete.
  const auto message = nextMeterMessageWhere([&](int64_t t) { return t < a + 3600; }, 90s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_EQ((*message)["timestamp"], a + 120);
  EXPECT_TRUE((*message)["io"]["m1"]["data"].contains("P")) << *message;
  EXPECT_TRUE((*message)["io"]["m1"]["data"].contains("U")) << *message;
  const auto requests = history.requests();
  ASSERT_GE(requests.size(), 3U);
  EXPECT_EQ(requestedStart(requests[2]), a) << requests[2].text;
  EXPECT_TRUE(endsWith(requests[2].topic, "_N2")) << requests[2].topic;
}

TEST_F(BackFillSystem, HistoryPeerFallingSilentMidWindowPublishesTheWindowOnceAndWhole) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer());
  history.script({peers::answer(), peers::silence(), peers::silence()});
  const int64_t a = now() - 3600;
  seedProgress({{"intervals", {{{"a", a}, {"b", a + 60}}, {{"a", now()}}}}});
  startWithConfiguration(kFourCells);

  // Each silent request runs into the 60 s reply time-out.
  const std::string postponed =
      fmt::format("wb-mqtt-db does not answer, window {}-{} postponed", a, a + 120);
  ASSERT_TRUE(waitForLog(postponed, 170s)) << readLog();
  const json done = awaitSingleInterval(90s);
  ASSERT_EQ(done["intervals"].size(), 1U) << done << readLog();
  receiveStragglers();

  ASSERT_EQ(windowsReceived(), (std::map<int64_t, int>{{a + 120, 1}})) << readLog();
  const json& data = received_.front()["io"]["m1"]["data"];
  for (const char* cell : {"P", "U", "I", "F"}) EXPECT_TRUE(data.contains(cell)) << cell << data;
  EXPECT_EQ(countInLog(postponed), 1U) << readLog();
}

TEST_F(BackFillSystem, MalformedRepliesOfEveryKindNeverEndTheService) {
  // A reply naming an entry the configuration lacks answers another request: it is not taken
  // and its request runs into the timeout (a test of its own below).
  std::vector<peers::Malformation> kinds = peers::allMalformations();
  std::erase(kinds, peers::Malformation::kUnknownId);
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::malformed(kinds));
  const int64_t a = now() - 7200;
  seedProgress({{"intervals", {{{"a", a}, {"b", now() - 600}}, {{"a", now()}}}}});
  // Two cells: the empty reply is a failure beside an answer, not a window postponed.
  startWithConfiguration(kTwoCells);

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

TEST_F(BackFillSystem, RepliesSentTwiceAndReplayedNeverLandInAnotherWindow) {
  peers::Behaviour confused = peers::answer();
  confused.twice = true;
  confused.replayEvery = 3;
  peers::HistoryStandIn history(kBrokerUri, "sim_history", confused);
  const int64_t a = now() - 7200;
  seedProgress({{"intervals", {{{"a", a}, {"b", a + 600}}, {{"a", now()}}}}});
  startWithConfiguration(kTwoCells);

  const auto oldWindows = [&] {
    std::size_t count = 0;
    for (const json& message : received_) count += message["timestamp"].get<int64_t>() < a + 3600;
    return count;
  };
  ASSERT_TRUE(awaitMeterMessages([&] { return oldWindows() == 6; }, 120s)) << readLog();
  for (const json& message : received_) {
    const int64_t end = message["timestamp"].get<int64_t>();
    if (end >= a + 3600) continue;
    for (const char* cell : {"P", "U"}) {
      const auto figures = peers::windowFigures("meter_1", cell, end - 120, end);
      EXPECT_EQ(message["io"]["m1"]["data"][cell],
                (json{{"avg", {figures.average}}, {"max", {figures.max}}, {"min", {figures.min}}}))
          << end << " " << cell;
    }
  }
  EXPECT_NE(readLog().find("Reply from wb-mqtt-db for another request dropped"), std::string::npos);
}

}  // namespace
}  // namespace norvane::sim
