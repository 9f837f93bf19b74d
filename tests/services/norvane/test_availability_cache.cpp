// The live-value cache without a broker: per-message updates, the unusable-message count and
// the collection step's read.
#include "availability_cache.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "availability_support.h"

namespace norvane {
namespace {

using kavrion::mosquitto::msg_t;
using norvane::testing::ServiceExit;
using norvane::testing::ExitTrap;
using norvane::testing::Record;
using norvane::testing::RecordLog;
using Clock = std::chrono::steady_clock;

msg_t message(const std::string& topic, const std::string& payload) {
  return msg_t{topic, std::vector<uint8_t>(payload.begin(), payload.end()), 0};
}

std::optional<data_t> cached(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  const auto found = m_cache.find(key);
  return found == m_cache.end() ? std::nullopt : std::optional<data_t>(found->second);
}

Clock::time_point lastUpdate() {
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  return m_last_update_cache;
}

void setLastUpdate(Clock::time_point when) {
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  m_last_update_cache = when;
}

constexpr const char* kTopic = "/devices/meter_1/controls/P";
constexpr const char* kKey = "meter_1.P";

class CacheUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(m_mutex_cache);
      m_cache.clear();
      m_last_update_cache = Clock::now();
    }
    m_timeout_s = 1800;
  }

  // Feeds the payloads in order on the one topic; none of them may end the process.
  void feed(std::initializer_list<const char*> payloads) {
    for (const char* payload : payloads) {
      ASSERT_EQ(updater_.handle(message(kTopic, payload)), std::nullopt) << payload;
    }
  }

  CacheUpdater updater_;
  RecordLog log_;
  ExitTrap exitTrap_;
};

void expectRecord(const std::optional<data_t>& record, double value, double min, double max) {
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->value, value);
  EXPECT_EQ(record->min, min);
  EXPECT_EQ(record->max, max);
}

TEST_F(CacheUpdaterTest, FirstValueSetsValueMinAndMax) {
  feed({"5"});
  expectRecord(cached(kKey), 5, 5, 5);
}

TEST_F(CacheUpdaterTest, RangeWidensThenReadReturnsItAndClosesIt) {
  feed({"5", "7", "3"});
  expectRecord(cached(kKey), 3, 3, 7);
  expectRecord(readCacheRecord(kKey), 3, 3, 7);
  expectRecord(cached(kKey), 3, 3, 3);
  // A second read without new values carries the closed range.
  expectRecord(readCacheRecord(kKey), 3, 3, 3);
}

TEST_F(CacheUpdaterTest, WordsAreStoredAsOneAndZero) {
  feed({"TRUE", "false"});
  expectRecord(cached(kKey), 0, 0, 1);
}

TEST_F(CacheUpdaterTest, NumberPrefixIsStored) {
  feed({"12.5abc"});
  expectRecord(cached(kKey), 12.5, 12.5, 12.5);
}

TEST_F(CacheUpdaterTest, PayloadWithoutNumberIsRecordedAndDropped) {
  feed({"5"});
  const auto before = Clock::now() - std::chrono::seconds(100);
  setLastUpdate(before);
  feed({" true", "abc"});
  expectRecord(cached(kKey), 5, 5, 5);
  EXPECT_EQ(lastUpdate(), before) << "a dropped message must not refresh the cache time";
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{{P7::kError, "Invalid argument:  stod. Value: \" true\" "},
                                 {P7::kError, "Invalid argument:  stod. Value: \"abc\" "}}));
}

TEST_F(CacheUpdaterTest, NumberOutOfRangeIsRecordedAndDropped) {
  feed({"1e999"});
  EXPECT_EQ(cached(kKey), std::nullopt);
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{{P7::kError, "Out of range: stod. Value: \"1e999\" "}}));
}

TEST_F(CacheUpdaterTest, StoredValueStampsTheCacheTime) {
  const auto before = Clock::now() - std::chrono::seconds(100);
  setLastUpdate(before);
  feed({"1"});
  EXPECT_GT(lastUpdate(), before + std::chrono::seconds(99));
}

TEST_F(CacheUpdaterTest, ControlsOfDifferentDevicesHaveTheirOwnRecords) {
  ASSERT_EQ(updater_.handle(message("/devices/a/controls/x", "1")), std::nullopt);
  ASSERT_EQ(updater_.handle(message("/devices/a.x/controls/y", "2")), std::nullopt);
  ASSERT_EQ(updater_.handle(message("/devices/b/controls/x", "3")), std::nullopt);
  expectRecord(cached("a.x"), 1, 1, 1);
  expectRecord(cached("a.x.y"), 2, 2, 2);
  expectRecord(cached("b.x"), 3, 3, 3);
}

TEST_F(CacheUpdaterTest, NanForANewKeyIsReplacedByTheNextNumber) {
  feed({"nan"});
  const auto record = cached(kKey);
  ASSERT_TRUE(record);
  EXPECT_TRUE(std::isnan(record->value) && std::isnan(record->min) && std::isnan(record->max));
  feed({"4", "6"});
  expectRecord(cached(kKey), 6, 4, 6);
}

TEST_F(CacheUpdaterTest, NanForAnExistingKeyReplacesOnlyTheValue) {
  feed({"5", "nan"});
  auto record = cached(kKey);
  ASSERT_TRUE(record);
  EXPECT_TRUE(std::isnan(record->value));
  EXPECT_EQ(record->min, 5);
  EXPECT_EQ(record->max, 5);
  feed({"8"});
  expectRecord(cached(kKey), 8, 5, 8);
}

TEST_F(CacheUpdaterTest, RangeClosedOnANanValueReopensOnTheNextNumber) {
  feed({"5", "nan"});
  const auto read = readCacheRecord(kKey);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->min, 5);
  EXPECT_EQ(read->max, 5);
  feed({"6", "2"});
  expectRecord(cached(kKey), 2, 2, 6);
}

TEST_F(CacheUpdaterTest, InfinityWidensTheRange) {
  feed({"5", "inf", "-inf"});
  const double inf = std::numeric_limits<double>::infinity();
  expectRecord(cached(kKey), -inf, -inf, inf);
}

TEST_F(CacheUpdaterTest, EmptyPayloadEndsTheProcessOnceMoreThanAHundredWereUnusable) {
  for (int i = 1; i <= 101; ++i) {
    ASSERT_EQ(updater_.handle(message(kTopic, "")), std::nullopt) << "empty payload " << i;
  }
  EXPECT_EQ(updater_.errorCount(), 101);
  EXPECT_EQ(updater_.handle(message(kTopic, "")), std::optional<int>(kExitBadPayloads));
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(CacheUpdaterTest, MismatchingTopicsCountButNeverEndTheProcess) {
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(updater_.handle(message("/devices/meter_1/controls/P/meta", "x")), std::nullopt);
  }
  EXPECT_EQ(updater_.errorCount(), 500);
  EXPECT_EQ(updater_.handle(message(kTopic, "")), std::optional<int>(kExitBadPayloads));
  EXPECT_TRUE(log_.records().empty());
  EXPECT_EQ(cached(kKey), std::nullopt);
}

TEST_F(CacheUpdaterTest, WellFormedTopicResetsTheCountEvenWithABadPayload) {
  for (int i = 0; i < 150; ++i) {
    ASSERT_EQ(updater_.handle(message("/devices/a/b/controls/c", "1")), std::nullopt);
  }
  ASSERT_EQ(updater_.handle(message(kTopic, "abc")), std::nullopt);
  EXPECT_EQ(updater_.errorCount(), 0);
  EXPECT_EQ(updater_.handle(message(kTopic, "")), std::nullopt);
}

TEST_F(CacheUpdaterTest, EmptyPayloadOnAWellFormedTopicStillCounts) {
  ASSERT_EQ(updater_.handle(message("/devices/x/controls/y", "")), std::nullopt);
  ASSERT_EQ(updater_.handle(message(kTopic, "")), std::nullopt);
  EXPECT_EQ(updater_.errorCount(), 2);
}

TEST(CacheUpdater, CountSaturatesInsteadOfOverflowing) {
  const int32_t max = std::numeric_limits<int32_t>::max();
  CacheUpdater updater(max - 1);
  EXPECT_EQ(updater.handle(message("/elsewhere", "1")), std::nullopt);
  EXPECT_EQ(updater.handle(message("/elsewhere", "1")), std::nullopt);
  EXPECT_EQ(updater.errorCount(), max);
  EXPECT_EQ(updater.handle(message("/elsewhere", "")), std::optional<int>(kExitBadPayloads));
}

TEST_F(CacheUpdaterTest, SilentControlIsRecordedOnceAfterTenWindowsAndOnceWhenItDeliversAgain) {
  Clock::time_point now{};
  SilentControls silent([&] { return now; });
  silent.expect("meter_1", "P");
  silent.expect("meter_1", "U");
  silent.restart();
  CacheUpdater updater(0, &silent);
  ASSERT_EQ(updater.handle(message("/devices/meter_1/controls/U", "1")), std::nullopt);
  now += kSilentControlAfter - std::chrono::seconds(1);
  silent.check();
  EXPECT_TRUE(log_.records().empty());
  now += std::chrono::seconds(1);
  silent.check();
  silent.check();
  // After a reconnect every control is to deliver again; P stays recorded once.
  silent.restart();
  now += kSilentControlAfter;
  silent.check();
  ASSERT_EQ(updater.handle(message(kTopic, "2")), std::nullopt);
  ASSERT_EQ(updater.handle(message(kTopic, "3")), std::nullopt);
  const auto silence = [](const char* control) {
    return Record{P7::kWarning, std::string("Control \"") + control +
                                    "\" of device \"meter_1\" has delivered no value on "
                                    "/devices/meter_1/controls/" + control +
                                    " for 10 minutes: its cell is missing from the meter messages"};
  };
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{silence("P"), silence("U"),
                                 {P7::kInfo, "Control \"P\" of device \"meter_1\" delivers again"}}));
}

class CacheReadTest : public CacheUpdaterTest {};

TEST_F(CacheReadTest, CacheExactlyAtTheLimitIsFresh) {
  for (const int32_t limit : {300, 1800}) {
    SCOPED_TRACE(limit);
    m_timeout_s = limit;
    feed({"5"});
    setLastUpdate(Clock::now() - std::chrono::seconds(limit));
    expectRecord(readCacheRecord(kKey), 5, 5, 5);
  }
}

TEST_F(CacheReadTest, CacheOneSecondPastTheLimitEndsTheProcessWithStatusThree) {
  for (const int32_t limit : {300, 1800}) {
    SCOPED_TRACE(limit);
    m_timeout_s = limit;
    feed({"5", "9"});
    setLastUpdate(Clock::now() - std::chrono::seconds(limit + 1));
    try {
      readCacheRecord(kKey);
      ADD_FAILURE() << "no exit";
    } catch (const ServiceExit& exit) {
      EXPECT_EQ(exit.status, kExitStaleCache);
    }
    expectRecord(cached(kKey), 9, 5, 9);
  }
}

TEST_F(CacheReadTest, StalenessIsCheckedAlsoForAKeyThatIsNotCached) {
  setLastUpdate(Clock::now() - std::chrono::seconds(1801));
  EXPECT_THROW(readCacheRecord("absent.key"), ServiceExit);
}

TEST_F(CacheReadTest, UnknownKeyGivesNothingAndAddsNothing) {
  EXPECT_EQ(readCacheRecord("absent.key"), std::nullopt);
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  EXPECT_TRUE(m_cache.empty());
}

TEST_F(CacheReadTest, DiscardClosesTheRangeWithoutTheStalenessCheck) {
  feed({"5", "7", "3"});
  setLastUpdate(Clock::now() - std::chrono::hours(10));
  discardCacheRecord(kKey);
  discardCacheRecord("absent.key");
  expectRecord(cached(kKey), 3, 3, 3);
  EXPECT_EQ(cached("absent.key"), std::nullopt);
}

}  // namespace
}  // namespace norvane
