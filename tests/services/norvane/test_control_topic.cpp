// Control topic matching and payload reading of the live-value cache.
#include "control_topic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <stdexcept>
#include <string>

namespace norvane {
namespace {

struct TopicCase {
  std::string topic;
  bool matches;
  std::string device;
  std::string control;
};

const TopicCase kTopicCases[] = {
    {"/devices/meter_1/controls/P", true, "meter_1", "P"},
    {"/devices/controls/controls/controls", true, "controls", "controls"},
    {"/devices/d/controls/Power L1", true, "d", "Power L1"},
    {"/devices/d/controls/c+", true, "d", "c+"},
    {"/devices/d/controls/c\n", true, "d", "c\n"},
    {std::string("/devices/d/controls/c\0x", 23), true, "d", std::string("c\0x", 3)},
    {"/devices/d/controls/c/meta", false, "", ""},         // a control's meta sub-topic
    {"/devices/d/controls/c/meta/error", false, "", ""},
    {"/devices/d/controls/c/", false, "", ""},             // trailing slash
    {"/devices/d/controls/", false, "", ""},               // empty control
    {"/devices//controls/c", false, "", ""},               // empty device
    {"/devices/a/b/controls/c", false, "", ""},            // slash in the device name
    {"/devices/d/controls/a/b", false, "", ""},            // slash in the control name
    {"/devices/d/controls", false, "", ""},
    {"/devices/d", false, "", ""},
    {"/devices/", false, "", ""},
    {"", false, "", ""},
    {"devices/d/controls/c", false, "", ""},
    {"//devices/d/controls/c", false, "", ""},
    {"/devices/d/control/c", false, "", ""},
    {"/devices/d/controlsX/c", false, "", ""},
    {"/devices/d/meta/controls/c", false, "", ""},
    {"/Devices/d/controls/c", false, "", ""},
    {"x/devices/d/controls/c", false, "", ""},
};

TEST(ControlTopic, AcceptsExactlyTheFullMatchesOfTheDevicePattern) {
  const std::regex pattern("/devices/([^/]+)/controls/([^/]+)$", std::regex::ECMAScript);
  for (const auto& c : kTopicCases) {
    SCOPED_TRACE(c.topic);
    std::smatch groups;
    const bool regexMatches = std::regex_match(c.topic, groups, pattern);
    ASSERT_EQ(regexMatches, c.matches) << "table disagrees with the pattern";
    const auto matched = matchControlTopic(c.topic);
    ASSERT_EQ(matched.has_value(), c.matches);
    if (matched) {
      EXPECT_EQ(matched->device, c.device);
      EXPECT_EQ(matched->control, c.control);
      EXPECT_EQ(matched->device, groups[1].str());
      EXPECT_EQ(matched->control, groups[2].str());
    }
  }
}

TEST(ControlValue, WordsTrueAndFalseInAnyCaseGiveOneAndZero) {
  for (const char* word : {"true", "TRUE", "True", "tRuE"}) {
    EXPECT_EQ(parseControlValue(word), 1.0) << word;
  }
  for (const char* word : {"false", "FALSE", "False", "fAlSe"}) {
    EXPECT_EQ(parseControlValue(word), 0.0) << word;
  }
}

TEST(ControlValue, NumbersFollowTheStringToDoubleRules) {
  EXPECT_EQ(parseControlValue("12.5abc"), 12.5);
  EXPECT_EQ(parseControlValue("  7"), 7.0);
  EXPECT_EQ(parseControlValue("\t-3e2 kWh"), -300.0);
  EXPECT_EQ(parseControlValue("0x10"), 16.0);
  EXPECT_EQ(parseControlValue("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(parseControlValue("inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parseControlValue("-Infinity"), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(parseControlValue("nan")));
  EXPECT_TRUE(std::isnan(parseControlValue("NAN")));
}

TEST(ControlValue, TextWithoutANumberIsAnInvalidArgument) {
  // Words only count at their exact length: with a blank they go to the number reader.
  for (const char* text : {" true", "true ", "truex", "fals", "abc", "", ".", "-", "e5"}) {
    SCOPED_TRACE(text);
    try {
      parseControlValue(text);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "stod");
    }
  }
}

TEST(ControlValue, NumberBeyondADoubleIsOutOfRange) {
  for (const char* text : {"1e999", "-1e999", "1e-999"}) {
    SCOPED_TRACE(text);
    try {
      parseControlValue(text);
      ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "stod");
    }
  }
}

}  // namespace
}  // namespace norvane
