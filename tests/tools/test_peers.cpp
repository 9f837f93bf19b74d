// The peers' series and the history stand-in's replies, which the broker and system tests
// take as their expectations.
#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "collection_support.h"
#include "history_client.h"
#include "history_reply.h"
#include "peers/device_publisher.h"
#include "peers/history_stand_in.h"
#include "peers/series.h"

namespace norvane {
namespace {

using nlohmann::json;

TEST(Series, IsDeterministicAndDiffersBetweenChannels) {
  EXPECT_EQ(peers::seriesValue("meter_1", "P", 1700000000),
            peers::seriesValue("meter_1", "P", 1700000000));
  EXPECT_NE(peers::seriesValue("meter_1", "P", 1700000000),
            peers::seriesValue("meter_1", "U", 1700000000));
  // The saw tooth rises 0.5 per second and falls back after two minutes, a step higher.
  const double start = peers::seriesValue("meter_1", "P", 1700000040);  // a multiple of 120
  EXPECT_EQ(peers::seriesValue("meter_1", "P", 1700000041), start + 0.5);
  EXPECT_EQ(peers::seriesValue("meter_1", "P", 1700000160), start + 0.25);
  // 733 levels later the steps start again; times before 1970 follow the same rule.
  EXPECT_EQ(peers::seriesValue("meter_1", "P", 1700000040 + 733 * 120), start);
  EXPECT_EQ(peers::seriesValue("meter_1", "P", -120), peers::seriesValue("meter_1", "P", 0) + 183)
      << "the tooth before 1970 is the top level";
}

TEST(Series, WindowsOfTheSameLengthCarryDifferentFigures) {
  const auto first = peers::windowFigures("meter_1", "P", 1700000040, 1700000160);
  const auto second = peers::windowFigures("meter_1", "P", 1700000160, 1700000280);
  EXPECT_EQ(second.min, first.min + 0.25);
  EXPECT_EQ(second.average, first.average + 0.25);
}

TEST(Series, WindowFiguresCoverTheWholeSecondsOfTheWindow) {
  const int64_t gt = 1700000040;
  const double base = peers::seriesValue("meter_1", "P", gt);
  const peers::WindowFigures figures = peers::windowFigures("meter_1", "P", gt, gt + 4);
  EXPECT_EQ(figures.min, base);
  EXPECT_EQ(figures.max, base + 1.5);
  EXPECT_EQ(figures.average, base + 0.75);
  const peers::WindowFigures empty = peers::windowFigures("meter_1", "P", gt, gt);
  EXPECT_EQ(empty.min, base);
  EXPECT_EQ(empty.max, base);
}

TEST(Series, FiguresPrintInTheShortestForm) {
  EXPECT_EQ(peers::formatFigure(231.0), "231");
  EXPECT_EQ(peers::formatFigure(0.1), "0.1");
  EXPECT_EQ(peers::formatFigure(-2.25), "-2.25");
}

TEST(HistoryStandInReply, AnswersTheRequestedChannelAndWindowAsTheServiceExpects) {
  kavrion::IoMap ioMap;
  ioMap["m1"] = collection::makeEntry("meter_1", {"P"});
  const std::string request = makeRequests("m1", ioMap["m1"], {1700000040, 1700000160}).front();
  const json reply = json::parse(peers::buildHistoryReply(request));
  const auto figures = peers::windowFigures("meter_1", "P", 1700000040, 1700000160);
  EXPECT_EQ(reply, json::parse(fmt::format(
                       R"({{"id":"m1","result":{{"values":[{{"control":"P","device":"meter_1",)"
                       R"("max":"{}","min":"{}","timestamp":1700000040,"value":"{}"}}]}}}})",
                       figures.max, figures.min, figures.average)));
  EXPECT_EQ(classifyReply(reply, ioMap), ReplyShape::kUsable);
}

TEST(HistoryStandInReply, TextThatIsNoRequestIsRefused) {
  EXPECT_THROW(peers::buildHistoryReply("abc"), json::parse_error);
  EXPECT_THROW(peers::buildHistoryReply(R"({"id":"m1"})"), json::out_of_range);
}

TEST(DevicePublisher, ControlsAreOrderedAndPublishedOnceEach) {
  kavrion::IoMap ioMap;
  ioMap["b"] = collection::makeEntry("meter_2", {"P"});
  ioMap["a"] = collection::makeEntry("meter_1", {"P", "U"});
  ioMap["c"] = collection::makeEntry("meter_1", {"U"});
  const auto controls = peers::controlsOf(ioMap);
  ASSERT_EQ(controls.size(), 3U);
  EXPECT_EQ(peers::controlTopic(controls[0]), "/devices/meter_1/controls/P");
  EXPECT_EQ(peers::controlTopic(controls[1]), "/devices/meter_1/controls/U");
  EXPECT_EQ(peers::controlTopic(controls[2]), "/devices/meter_2/controls/P");
}

}  // namespace
}  // namespace norvane
