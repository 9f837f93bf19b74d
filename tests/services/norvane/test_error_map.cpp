// The error map without a broker: building it from the I/O map and applying ping messages.
#include "error_map.h"

#include <gtest/gtest.h>

#include <string>

#include "availability_support.h"
#include "service_state.h"

namespace norvane {
namespace {

using kavrion::mosquitto::msg_t;
using norvane::testing::Record;
using norvane::testing::RecordLog;

kavrion::IoMap ioMapOf(const std::string& entries) {
  const auto document = nlohmann::json::parse(R"({"io":[)" + entries + "]}");
  kavrion::TemplateCacheCleanupGuard guard(false);
  return kavrion::parseIoStructure<kavrion::IoInfo>(document, guard, true);
}

std::string entry(const std::string& id, const std::string& ping) {
  std::string text = R"({"id":")" + id + R"(","device":"dev_)" + id +
                     R"(","type":"meter_electricity","cells":["P"])";
  if (!ping.empty()) {
    text += R"(,"ping":")" + ping + R"(")";
  }
  return text + "}";
}

msg_t message(const std::string& topic, const std::string& payload) {
  return msg_t{topic, std::vector<uint8_t>(payload.begin(), payload.end()), 0};
}

std::unordered_map<std::string, available_data_t> errorMap() {
  std::lock_guard<std::mutex> lock(m_mutex_error_map);
  return m_error_map;
}

// The collection step's rule: unavailable only when an entry exists and says so.
bool available(const std::string& pingTopic) {
  std::lock_guard<std::mutex> lock(m_mutex_error_map);
  const auto found = m_error_map.find(pingTopic);
  return found == m_error_map.end() || found->second.available;
}

constexpr const char* kPing = "/devices/dev_m1/meta/error";

class ErrorMapTest : public ::testing::Test {
 protected:
  void SetUp() override { initErrorMap(ioMapOf(entry("m1", kPing))); }
  RecordLog log_;
};

TEST_F(ErrorMapTest, EntriesStartAvailable) {
  const auto map = errorMap();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_TRUE(map.at(kPing).available);
}

TEST_F(ErrorMapTest, EntriesSharingAPingTopicShareOneState) {
  initErrorMap(ioMapOf(entry("m1", kPing) + "," + entry("m2", kPing) + "," +
                       entry("m3", "/devices/dev_m3/meta/error")));
  ASSERT_EQ(errorMap().size(), 2u);
  applyErrorMessage(message(kPing, "r"));
  EXPECT_FALSE(available(kPing));
  EXPECT_TRUE(available("/devices/dev_m3/meta/error"));
}

TEST_F(ErrorMapTest, EntryWithoutPingTopicIsRecordedAndLeftOut) {
  initErrorMap(ioMapOf(entry("m1", kPing) + "," + entry("nopings", "")));
  EXPECT_EQ(errorMap().size(), 1u);
  EXPECT_TRUE(log_.contains({P7::kError, "Невозможно определить доступность nopings"}));
}

TEST_F(ErrorMapTest, NoPingTopicsAtAllLeaveTheMapEmpty) {
  initErrorMap(ioMapOf(entry("a", "") + "," + entry("b", "")));
  EXPECT_TRUE(errorMap().empty());
  EXPECT_TRUE(available(""));
}

TEST_F(ErrorMapTest, RebuildingForgetsEarlierEntriesAndStates) {
  applyErrorMessage(message(kPing, "r"));
  initErrorMap(ioMapOf(entry("m9", "/devices/dev_m9/meta/error") + "," + entry("m1", kPing)));
  const auto map = errorMap();
  EXPECT_EQ(map.size(), 2u);
  EXPECT_TRUE(map.at(kPing).available);
}

TEST_F(ErrorMapTest, ErrorThenClearingFlipsTheDeviceAndRecordsBoth) {
  applyErrorMessage(message(kPing, "r"));
  EXPECT_FALSE(available(kPing));
  applyErrorMessage(message(kPing, "r"));
  EXPECT_FALSE(available(kPing));
  applyErrorMessage(message(kPing, ""));
  EXPECT_TRUE(available(kPing));
  const std::string topic = kPing;
  EXPECT_EQ(log_.records(), (std::vector<Record>{{P7::kInfo, topic + " r"},
                                                 {P7::kInfo, topic + " r"},
                                                 {P7::kInfo, topic + " null"}}));
}

TEST_F(ErrorMapTest, UnknownTopicIsRecordedWithItsPayloadAndChangesNothing) {
  applyErrorMessage(message("/devices/other/meta/error", "timeout"));
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{
                {P7::kError, "Получен не известный топик /devices/other/meta/error с ошибкой timeout"}}));
  const auto map = errorMap();
  EXPECT_EQ(map.size(), 1u);
  EXPECT_TRUE(map.at(kPing).available);
}

TEST_F(ErrorMapTest, MessageWithoutTopicIsSkippedSilently) {
  applyErrorMessage(message("", "r"));
  EXPECT_TRUE(log_.records().empty());
  EXPECT_TRUE(available(kPing));
}

TEST_F(ErrorMapTest, MarkAllAvailableClearsEveryError) {
  initErrorMap(ioMapOf(entry("m1", kPing) + "," + entry("m2", "/devices/dev_m2/meta/error")));
  applyErrorMessage(message(kPing, "r"));
  applyErrorMessage(message("/devices/dev_m2/meta/error", "r"));
  markAllAvailable();
  EXPECT_TRUE(available(kPing));
  EXPECT_TRUE(available("/devices/dev_m2/meta/error"));
}

}  // namespace
}  // namespace norvane
