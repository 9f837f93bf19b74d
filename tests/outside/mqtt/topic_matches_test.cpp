// Topic filter matching by MQTT wildcard rules.
#include <gtest/gtest.h>

#include "mqtt_async_wrapper.h"

namespace kavrion::mosquitto {
namespace {

struct MatchCase {
  const char* filter;
  const char* topic;
  bool matches;
};

class TopicMatches : public ::testing::TestWithParam<MatchCase> {};

TEST_P(TopicMatches, FollowsMqttWildcardRules) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(topicMatches(c.filter, c.topic), c.matches)
      << "filter \"" << c.filter << "\", topic \"" << c.topic << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    ExactTopics, TopicMatches,
    ::testing::Values(MatchCase{"/kv/bridge/configuration", "/kv/bridge/configuration", true},
                      MatchCase{"/kv/bridge/configuration", "/kv/bridge/Configuration", false},
                      MatchCase{"a/b", "a/b/", false}, MatchCase{"a/b/", "a/b", false},
                      MatchCase{"a/b", "a", false}, MatchCase{"a", "a/b", false},
                      MatchCase{"/a", "a", false}, MatchCase{"a//b", "a//b", true},
                      MatchCase{"a", "", false}, MatchCase{"", "a", false}));

INSTANTIATE_TEST_SUITE_P(
    MultiLevelWildcard, TopicMatches,
    ::testing::Values(MatchCase{"#", "a", true}, MatchCase{"#", "a/b/c", true},
                      MatchCase{"#", "/a", true}, MatchCase{"#", "/", true},
                      MatchCase{"/#", "/a/b", true}, MatchCase{"/#", "/", true},
                      MatchCase{"/#", "a/b", false}, MatchCase{"a/#", "a", true},
                      MatchCase{"a/#", "a/", true}, MatchCase{"a/#", "a/b/c", true},
                      MatchCase{"a/#", "ab", false}, MatchCase{"a/#", "b/a", false},
                      MatchCase{"a/b/#", "a", false}));

INSTANTIATE_TEST_SUITE_P(
    SingleLevelWildcard, TopicMatches,
    ::testing::Values(MatchCase{"+", "a", true}, MatchCase{"+", "a/b", false},
                      MatchCase{"+", "/a", false}, MatchCase{"+/+", "/a", true},
                      MatchCase{"/+", "/", true}, MatchCase{"a/+", "a/", true},
                      MatchCase{"a/+", "a", false}, MatchCase{"a/+/c", "a//c", true},
                      MatchCase{"a/+/c", "a/b/c/d", false},
                      MatchCase{"/devices/+/controls/+", "/devices/meter_1/controls/P", true},
                      MatchCase{"/devices/+/controls/+", "/devices/meter_1/controls/P/on", false},
                      MatchCase{"/devices/+/controls/+", "/devices/meter_1/meta/error", false},
                      MatchCase{"+/#", "a", true}, MatchCase{"+/#", "a/b/c", true}));

INSTANTIATE_TEST_SUITE_P(DollarTopics, TopicMatches,
                         ::testing::Values(MatchCase{"#", "$SYS/broker/uptime", false},
                                           MatchCase{"+/broker/uptime", "$SYS/broker/uptime",
                                                     false},
                                           MatchCase{"$SYS/#", "$SYS/broker/uptime", true},
                                           MatchCase{"$SYS/+/uptime", "$SYS/broker/uptime", true},
                                           MatchCase{"a/#", "a/$b", true}));

}  // namespace
}  // namespace kavrion::mosquitto
