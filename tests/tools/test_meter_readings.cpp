// The simulators' own logic: meter readings by control name, malformed history replies as
// the service sees them, and the bridge stand-in's lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "history_client.h"
#include "history_reply.h"
#include "io_info.h"
#include "peers/history_stand_in.h"
#include "peers/meter_values.h"
#include "peers/meter_view.h"
#include "peers/series.h"

namespace norvane::peers {
namespace {

using nlohmann::json;

TEST(MeterReadings, QuantityIsGuessedFromTheControlName) {
  const std::pair<const char*, Quantity> cases[] = {
      {"U", Quantity::kVoltage},      {"U L1", Quantity::kVoltage},
      {"Voltage", Quantity::kVoltage}, {"I", Quantity::kCurrent},
      {"Current L2", Quantity::kCurrent}, {"P", Quantity::kPower},
      {"P L3", Quantity::kPower},     {"Total AP energy", Quantity::kEnergy},
      {"AP", Quantity::kEnergy},      {"E", Quantity::kEnergy},
      {"kWh", Quantity::kEnergy},     {"F", Quantity::kFrequency},
      {"V", Quantity::kVolume},       {"Volume", Quantity::kVolume},
      // Names that only begin with a quantity's letter are not taken for it.
      {"Upper", Quantity::kOther},    {"PF", Quantity::kOther},
      {"Temperature", Quantity::kOther}, {"", Quantity::kOther}};
  for (const auto& [name, quantity] : cases) {
    EXPECT_EQ(quantityOf(name), quantity) << '"' << name << '"';
  }
}

TEST(MeterReadings, StayInTheirRangesOverADay) {
  const int64_t start = 1765152000;
  for (int64_t t = start; t < start + 86400; t += 7) {
    const double u = meterValue("meter_1", "U L1", t);
    const double i = meterValue("meter_1", "I", t);
    const double f = meterValue("meter_1", "F", t);
    ASSERT_GE(u, 226.0) << t;
    ASSERT_LE(u, 234.0) << t;
    ASSERT_GE(i, 2.0) << t;
    ASSERT_LE(i, 12.0) << t;
    const double p = meterValue("meter_1", "P", t);
    ASSERT_GE(p, 230.0 * 2.0) << t;
    ASSERT_LE(p, 230.0 * 12.0) << t;
    ASSERT_GE(f, 49.9) << t;
    ASSERT_LE(f, 50.1) << t;
  }
}

TEST(MeterReadings, CountersNeverGoBackAndGrowAtAPlausibleRate) {
  const int64_t start = 1765152000;
  double previous = meterValue("meter_1", "AP energy", start);
  for (int64_t t = start + 1; t <= start + 3600; ++t) {
    const double value = meterValue("meter_1", "AP energy", t);
    ASSERT_GE(value, previous) << t;
    previous = value;
  }
  EXPECT_NEAR(previous - meterValue("meter_1", "AP energy", start), 1.6, 0.002);
  const double dayOfWater =
      meterValue("water_1", "V", start + 86400) - meterValue("water_1", "V", start);
  EXPECT_NEAR(dayOfWater, 0.3, 0.002);
}

TEST(MeterReadings, ChannelsDoNotMoveInStepAndPrintShort) {
  EXPECT_NE(meterValue("meter_1", "U", 1765152000), meterValue("meter_2", "U", 1765152000));
  EXPECT_EQ(meterValue("meter_1", "Temperature", 1765152000),
            seriesValue("meter_1", "Temperature", 1765152000));
  EXPECT_EQ(formatReading(230.25), "230.25");
  EXPECT_EQ(formatReading(1000.0), "1000");
}

class MalformedReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    const json document = json::parse(R"({"io":[{"id":"m1","device":"meter_1","type":"t",
      "cells":["P"]}]})");
    kavrion::TemplateCacheCleanupGuard guard(false);
    ioMap_ = kavrion::parseIoStructure<kavrion::IoInfo>(document, guard, true);
    request_ = makeRequests("m1", ioMap_.at("m1"), {1765152000, 1765152120}).front();
  }

  kavrion::IoMap ioMap_;
  std::string request_;
};

// The service's own reply check sees every fault the stand-in can send; the figures that
// are no numbers pass the shape check and are refused when they are stored.
TEST_F(MalformedReplies, EachKindIsRecognisedByTheService) {
  EXPECT_EQ(classifyReply(json::parse(buildHistoryReply(request_)), ioMap_), ReplyShape::kUsable);
  EXPECT_FALSE(json::accept(buildMalformedReply(Malformation::kNotJson, request_)));
  EXPECT_EQ(buildMalformedReply(Malformation::kEmpty, request_), "");
  const std::pair<Malformation, ReplyShape> shapes[] = {
      {Malformation::kNotAnObject, ReplyShape::kMalformed},
      {Malformation::kUnknownId, ReplyShape::kMalformed},
      {Malformation::kNoControl, ReplyShape::kMalformed},
      {Malformation::kNoValue, ReplyShape::kMalformed},
      {Malformation::kFigureNotText, ReplyShape::kMalformed},
      {Malformation::kNoValues, ReplyShape::kNoValues},
      {Malformation::kNull, ReplyShape::kNoValues}};
  for (const auto& [malformation, shape] : shapes) {
    const json reply = json::parse(buildMalformedReply(malformation, request_));
    EXPECT_EQ(classifyReply(reply, ioMap_), shape) << malformationName(malformation) << reply;
  }
  const json noNumber = json::parse(buildMalformedReply(Malformation::kNoNumber, request_));
  EXPECT_EQ(noNumber["result"]["values"][0]["value"], "n/a");
  const json outOfRange = json::parse(buildMalformedReply(Malformation::kOutOfRange, request_));
  EXPECT_EQ(outOfRange["result"]["values"][0]["min"], "1e999");
}

TEST_F(MalformedReplies, NamesReadBackAndUnknownNamesAreRefused) {
  ASSERT_EQ(allMalformations().size(), 11U);
  for (const Malformation malformation : allMalformations()) {
    EXPECT_EQ(malformationNamed(malformationName(malformation)), malformation);
  }
  try {
    malformationNamed("garbage");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "no malformation is called \"garbage\"");
  }
  EXPECT_THROW(malformed({}), std::invalid_argument);
}

TEST(MeterView, OneLinePerEntryAndCellUnderTheWindow) {
  const json message = json::parse(R"({"io":{
      "m1":{"data":{"P":{"avg":[230.5],"max":[231.0],"min":[229.75]},
                    "U":{"avg":[5.0],"max":[5.0],"min":[5.0]}},"type":"meter_electricity"},
      "w1":{"data":{},"type":"water"}},
    "msg_id":"8c7f0aac97c4aa2f","timestamp":1765152060})");
  EXPECT_EQ(describeMeterMessage(message),
            (std::vector<std::string>{
                "window ending 2025-12-08 00:01:00 UTC (1765152060)  msg_id 8c7f0aac97c4aa2f",
                "  m1 (meter_electricity) P: max 231 / avg 230.5 / min 229.75",
                "  m1 (meter_electricity) U: max 5 / avg 5 / min 5",
                "  w1 (water): no cells"}));
}

TEST(MeterView, OddMessagesAreShownAsTheyStand) {
  EXPECT_EQ(describeMeterMessage(json::parse(R"({"io":{},"msg_id":"1","timestamp":0})")),
            (std::vector<std::string>{"window ending 1970-01-01 00:00:00 UTC (0)  msg_id 1",
                                      "  no data"}));
  EXPECT_EQ(describeMeterMessage(json::parse(R"({"io":{"m1":{"data":{"P":{"avg":[1,2]}}}}})")),
            (std::vector<std::string>{"window ?  msg_id ?",
                                      "  m1 (?) P: max - / avg [1,2] / min -"}));
  EXPECT_EQ(describeMeterMessage(json::parse("[1]")),
            (std::vector<std::string>{"not a meter message: [1]"}));
}

}  // namespace
}  // namespace norvane::peers
