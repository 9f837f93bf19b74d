// Current collection steps from the live-value cache, and the cache reply they build.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <regex>
#include <string>

#include <nlohmann/json.hpp>

#include "collection_step.h"
#include "collection_support.h"
#include "history_client.h"
#include "response_processing.h"
#include "service_state.h"

namespace norvane {
namespace {

using collection::ServiceExit;
using collection::ExitTrap;
using collection::makeEntry;
using collection::Record;
using collection::RecordLog;
using nlohmann::json;

constexpr int64_t kStart = 1700000000;
constexpr int64_t kEnd = kStart + 60;
constexpr const char* kPing = "/devices/meter_1/meta/error";

TEST(CacheReply, CarriesTheRecordAndTheWindowEndByteForByte) {
  const std::string reply = buildCacheReply("m1", {"meter_1", "P"}, kEnd, data_t{2.0, 1.0, 3.5});
  EXPECT_EQ(reply,
            R"({"id":"m1","result":{"values":[{"control":"P","device":"meter_1","max":3.5,)"
            R"("min":1.0,"timestamp":1700000060,"value":2.0}]}})");
}

class CurrentStep : public ::testing::Test {
 protected:
  void SetUp() override {
    m_cache.clear();
    m_error_map.clear();
    m_last_update_cache = std::chrono::steady_clock::now();
    m_timeout_s = 1800;
    ioMap_["m1"] = makeEntry("meter_1", {"P", "U"}, kPing);
  }
  void TearDown() override {
    m_cache.clear();
    m_error_map.clear();
  }

  // The meter message as the latest closing record shows it ("" when nothing was published).
  std::string stepMessage() {
    const StepOutcome outcome = performStep({kStart, kEnd}, true, ioMap_, client_);
    EXPECT_EQ(outcome, StepOutcome::kDone);
    const std::string prefix = "Request complete! Response:\n";
    const auto records = log_.records();
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
      if (record->text.rfind(prefix, 0) == 0) {
        return record->text.substr(prefix.size());
      }
    }
    ADD_FAILURE() << "no closing record";
    return {};
  }
  json stepData(const std::string& id) {
    const std::string message = stepMessage();
    if (message.empty()) {
      return nullptr;
    }
    const json parsed = json::parse(message);
    EXPECT_EQ(parsed.at("timestamp"), kEnd);
    return parsed.at("io").contains(id) ? parsed["io"][id]["data"] : json(nullptr);
  }

  kavrion::IoMap ioMap_;
  RecordLog log_;
  // Never connected: publishing is the broker tests' business.
  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client_ =
      std::make_shared<kavrion::mosquitto::MqttAsyncWrapper>("e2e_current_step",
                                                            "tcp://127.0.0.1:1");
};

TEST_F(CurrentStep, TurnsEveryCachedControlIntoOneCell) {
  m_cache["meter_1.P"] = {230.5, 229.0, 231.25};
  m_cache["meter_1.U"] = {5, 5, 5};
  EXPECT_EQ(stepData("m1").dump(),
            R"({"P":{"avg":[230.5],"max":[231.25],"min":[229.0]},)"
            R"("U":{"avg":[5.0],"max":[5.0],"min":[5.0]}})");
  EXPECT_EQ(log_.records().front(), (Record{P7::kInfo, "A:1700000000\tB:1700000060"}));
}

// Names are escaped as JSON wants them, entries and cells in byte order, figures in their
// shortest form.
TEST_F(CurrentStep, MessageTextIsEscapedAndOrderedByteForByte) {
  ioMap_.clear();
  ioMap_["Счётчик \"№2\""] = makeEntry("dev\\1", {"Ток \"A\"", "c\u0001"});
  ioMap_["a\\b\u0001"] = makeEntry("d", {"P"});
  m_cache["dev\\1.Ток \"A\""] = {1.5, 0.25, 3};
  m_cache["dev\\1.c\u0001"] = {-0.0, -1e-7, 1e21};
  m_cache["d.P"] = {230, 229.75, 231};
  const std::regex msgId(R"("msg_id":"[0-9a-f]{16}")");
  EXPECT_EQ(std::regex_replace(stepMessage(), msgId, R"("msg_id":"ID")"),
            R"({"io":{"a\\b\u0001":{"data":{"P":{"avg":[230.0],"max":[231.0],"min":[229.75]}},)"
            R"("type":"meter_electricity"},"Счётчик \"№2\"":{"data":{"c\u0001":{"avg":[-0.0],)"
            R"("max":[1e+21],"min":[-1e-07]},"Ток \"A\"":{"avg":[1.5],"max":[3.0],"min":[0.25]}},)"
            R"("type":"meter_electricity"}},"msg_id":"ID","timestamp":1700000060})");
}

TEST_F(CurrentStep, SecondStepWithoutUpdateCarriesTheValueAsItsRange) {
  m_cache["meter_1.P"] = {2, 1, 3};
  stepMessage();
  const json data = stepData("m1");
  EXPECT_EQ(data["P"].dump(), R"({"avg":[2.0],"max":[2.0],"min":[2.0]})");
}

TEST_F(CurrentStep, ControlNotCachedIsLeftOutSilently) {
  m_cache["meter_1.P"] = {1, 1, 1};
  const json data = stepData("m1");
  EXPECT_FALSE(data.contains("U"));
  EXPECT_TRUE(data.contains("P"));
  EXPECT_TRUE(log_.atLevel(P7::kError).empty());
  EXPECT_TRUE(log_.atLevel(P7::kWarning).empty());
}

TEST_F(CurrentStep, NothingCachedPublishesNothingButStillCloses) {
  EXPECT_EQ(stepMessage(), "");
  EXPECT_TRUE(log_.contains({P7::kInfo, "Request complete! Response:\n"}));
}

TEST_F(CurrentStep, EmptyConfigurationStillWritesBothRecords) {
  ioMap_.clear();
  EXPECT_EQ(stepMessage(), "");
  EXPECT_EQ(log_.records(), (std::vector<Record>{{P7::kInfo, "A:1700000000\tB:1700000060"},
                                                 {P7::kInfo, "Request complete! Response:\n"}}));
}

TEST_F(CurrentStep, UnavailableDeviceIsLeftOutWithRecordAndItsRangeIsDiscarded) {
  ioMap_["m2"] = makeEntry("meter_2", {"P"});
  m_error_map[kPing].available = false;
  m_cache["meter_1.P"] = {5, -100, 900};
  m_cache["meter_2.P"] = {7, 7, 7};
  const json message = json::parse(stepMessage());
  EXPECT_FALSE(message["io"].contains("m1"));
  EXPECT_TRUE(message["io"].contains("m2"));
  EXPECT_TRUE(log_.contains(
      {P7::kInfo,
       "Устройство \"m1\" не доступно. Определяли по \"/devices/meter_1/meta/error\"."}));
  // Back again: the first window must not carry the outage's extremes.
  m_error_map[kPing].available = true;
  const json data = stepData("m1");
  EXPECT_EQ(data["P"].dump(), R"({"avg":[5.0],"max":[5.0],"min":[5.0]})");
}

TEST_F(CurrentStep, AvailableByTheErrorMapOrUnknownToItCounts) {
  m_error_map[kPing].available = true;
  m_cache["meter_1.P"] = {1, 1, 1};
  EXPECT_TRUE(stepData("m1").contains("P"));
  m_error_map.clear();
  EXPECT_TRUE(stepData("m1").contains("P"));
}

TEST_F(CurrentStep, EntryWithoutCellsIsPassedOverAndTheOthersArePublished) {
  ioMap_["a_empty"] = makeEntry("meter_0", {});
  ioMap_["z_empty"] = makeEntry("meter_9", {});
  m_cache["meter_1.P"] = {1, 1, 1};
  EXPECT_TRUE(stepData("m1").contains("P"));
}

TEST_F(CurrentStep, NonFiniteValueMinimumOrMaximumLeavesTheControlOutWithAWarning) {
  const double inf = std::numeric_limits<double>::infinity();
  // Each figure alone: a -inf reading followed by finite ones leaves only the minimum.
  const struct {
    const char* figure;
    data_t record;
  } cases[] = {{"value", {std::nan(""), 1, 1}}, {"min", {1, -inf, 1}}, {"max", {1, 1, inf}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.figure);
    log_.clear();
    m_cache["meter_1.P"] = c.record;
    m_cache["meter_1.U"] = {3, 2, 4};
    EXPECT_EQ(stepData("m1").dump(), R"({"U":{"avg":[3.0],"max":[4.0],"min":[2.0]}})");
    EXPECT_TRUE(log_.contains({P7::kWarning, "Non-finite value of meter_1.P left out"}));
  }
}

TEST_F(CurrentStep, StaleCacheEndsTheServiceWithStatus3) {
  ExitTrap trap;
  m_cache["meter_1.P"] = {1, 1, 1};
  m_last_update_cache = std::chrono::steady_clock::now() - std::chrono::seconds(1801);
  try {
    performStep({kStart, kEnd}, true, ioMap_, client_);
    FAIL() << "the step went on with a stale cache";
  } catch (const ServiceExit& exit) {
    EXPECT_EQ(exit.status, kExitStaleCache);
  }
}

TEST_F(CurrentStep, StaleCacheDoesNotMatterWhenNoEntryIsAvailable) {
  ExitTrap trap;
  m_error_map[kPing].available = false;
  m_last_update_cache = std::chrono::steady_clock::now() - std::chrono::seconds(5000);
  EXPECT_EQ(stepMessage(), "");
}

}  // namespace
}  // namespace norvane
