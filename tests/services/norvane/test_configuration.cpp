// Choosing the configuration between the MQTT topic and the cached file, against a real broker.
#include "configuration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "record_log.h"
#include "test_broker.h"

namespace {

using kavrion::mosquitto::MqttAsyncWrapper;
using kavrion::mosquitto::Qos;
using norvane::kConfigurationTopic;
using norvane::testing::Record;
using norvane::testing::RecordLog;
using norvane::testing::TempDir;
using norvane::testing::TestBroker;
using std::chrono::milliseconds;

constexpr milliseconds kLongWait{5000};
constexpr milliseconds kShortWait{300};

class Configuration : public ::testing::Test {
 protected:
  std::shared_ptr<MqttAsyncWrapper> connect(const std::string& clientId) {
    auto client = std::make_shared<MqttAsyncWrapper>(clientId, broker_.uri());
    client->Connect(true);
    return client;
  }
  void publishRetained(const std::string& payload) {
    publisher_->Send(kConfigurationTopic, payload, Qos::AtLeastOnce, true);
  }
  void writeCache(const std::string& text) {
    std::ofstream(dir_.path() / "configuration_cache.json", std::ios::binary) << text;
  }
  std::string obtain(milliseconds wait) {
    return norvane::obtainConfiguration(connect("configuration-under-test"),
                                        {dir_.dir(), "configuration_cache.json", wait});
  }
  std::string cachePath() const { return dir_.dir() + "configuration_cache.json"; }
  // The records of the configuration sources, without those of the MQTT client.
  std::vector<Record> records() const {
    std::vector<Record> result;
    for (const auto& record : log_.records()) {
      for (const char* prefix :
           {"No cached", "Cached configuration", "Corrupted", "Failed to", "MQTT configuration",
            "Empty configuration", "Invalid MQTT", "Using ", "No configuration"}) {
        if (record.text.rfind(prefix, 0) == 0) {
          result.push_back(record);
          break;
        }
      }
    }
    return result;
  }

  TestBroker broker_;
  TempDir dir_;
  RecordLog log_;
  std::shared_ptr<MqttAsyncWrapper> publisher_ = connect("configuration-publisher");
};

TEST_F(Configuration, RetainedMessageIsUsedWhenThereIsNoFile) {
  const std::string text = R"({"created_at_ts":100,"io":{}})";
  publishRetained(text);
  EXPECT_EQ(obtain(kLongWait), text);
  EXPECT_EQ(records(),
            (std::vector<Record>{{P7::kWarning, "No cached configuration at " + cachePath()},
                                 {P7::kInfo, "MQTT configuration received (ts: 100)"},
                                 {P7::kInfo, "Using MQTT config (no file cache)"}}));
}

TEST_F(Configuration, FileIsUsedWhenNothingArrivesInTime) {
  const std::string text = R"({"created_at_ts":100,"io":{}})";
  writeCache(text);
  EXPECT_EQ(obtain(kShortWait), text);
  const auto got = records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (Record{P7::kInfo, "Cached configuration loaded (ts: 100)"}));
  EXPECT_EQ(got[1].level, P7::kWarning);
  EXPECT_EQ(got[1].text.rfind("MQTT configuration unavailable: ", 0), 0u) << got[1].text;
  EXPECT_EQ(got[2], (Record{P7::kWarning, "Using file config (MQTT unavailable)"}));
}

TEST_F(Configuration, NothingFromEitherSourceGivesAnEmptyText) {
  EXPECT_EQ(obtain(kShortWait), "");
  const auto got = records();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), (Record{P7::kError, "No configuration available from any source!"}));
}

struct Choice {
  const char* name;
  const char* file;
  const char* mqtt;
  bool fileWins;
  const char* record;
};
void PrintTo(const Choice& param, std::ostream* out) { *out << param.name; }

class ConfigurationChoice : public Configuration, public ::testing::WithParamInterface<Choice> {};

TEST_P(ConfigurationChoice, TheFileWinsOnlyWhenStrictlyNewer) {
  writeCache(GetParam().file);
  publishRetained(GetParam().mqtt);
  EXPECT_EQ(obtain(kLongWait), GetParam().fileWins ? GetParam().file : GetParam().mqtt);
  EXPECT_EQ(records().back(), (Record{P7::kInfo, GetParam().record}));
}

INSTANTIATE_TEST_SUITE_P(
    Configuration, ConfigurationChoice,
    ::testing::Values(Choice{"FileNewer", R"({"created_at_ts":200})", R"({"created_at_ts":100})",
                             true, "Using file config (file ts:200 > mqtt ts:100)"},
                      Choice{"MqttNewer", R"({"created_at_ts":100})", R"({"created_at_ts":200})",
                             false, "Using MQTT config (mqtt ts:200 >= file ts:100)"},
                      Choice{"EqualChoosesMqtt", R"({"created_at_ts":150})",
                             R"({"created_at_ts":150.7})", false,
                             "Using MQTT config (mqtt ts:150 >= file ts:150)"},
                      Choice{"SignedComparison", R"({"created_at_ts":-5})",
                             R"({"created_at_ts":-6})", true,
                             "Using file config (file ts:-5 > mqtt ts:-6)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Configuration, WithoutCreationTimesTheLaterReadMqttTextWins) {
  writeCache(R"({"from":"file"})");
  publishRetained(R"({"from":"mqtt"})");
  EXPECT_EQ(obtain(kLongWait), R"({"from":"mqtt"})");
}

TEST_F(Configuration, ArrayPayloadIsValidAndStampedWithItsReceipt) {
  publishRetained("[1,2]");
  const int64_t before = std::time(nullptr);
  const auto snapshot = norvane::receiveMqttConfig(connect("receiver"), kLongWait);
  EXPECT_TRUE(snapshot.valid);
  EXPECT_EQ(snapshot.content, "[1,2]");
  EXPECT_GE(snapshot.timestamp, before);
  EXPECT_LE(snapshot.timestamp, std::time(nullptr));
}

TEST_F(Configuration, PayloadThatIsNotJsonLosesToTheFile) {
  writeCache(R"({"created_at_ts":1})");
  publishRetained("{not json");
  EXPECT_EQ(obtain(kLongWait), R"({"created_at_ts":1})");
  const auto got = records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].level, P7::kError);
  EXPECT_EQ(got[1].text.rfind("Invalid MQTT configuration: [json.exception.parse_error.101]", 0),
            0u)
      << got[1].text;
  EXPECT_EQ(got[2], (Record{P7::kWarning, "Using file config (MQTT unavailable)"}));
}

TEST_F(Configuration, WithoutAFileATextThatIsNotJsonIsRecordedOnceAndTheWaitGoesOn) {
  publishRetained("{not json");  // delivered first, at every start
  for (const std::string next : {"[1,", R"({"created_at_ts":7})"}) {
    log_.clear();
    std::atomic<bool> done{false};
    std::thread sender([&] {
      while (!done) {
        publisher_->Send(kConfigurationTopic, next, Qos::AtLeastOnce, false);
        std::this_thread::sleep_for(milliseconds(50));
      }
    });
    const std::string chosen = obtain(milliseconds(1500));
    done = true;
    sender.join();
    EXPECT_EQ(chosen, next == "[1," ? "" : next);
    std::size_t invalid = 0;
    for (const Record& record : records()) {
      invalid += record.text.rfind("Invalid MQTT configuration: ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(invalid, 1u) << next;
  }
}

TEST_F(Configuration, EmptyPayloadLosesToTheFile) {
  writeCache(R"({"created_at_ts":1})");
  // An empty retained message would only clear the topic: send it live until it is taken.
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (int i = 0; i < 100 && !done; ++i) {
      publisher_->Send(kConfigurationTopic, "", Qos::AtLeastOnce, false);
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  const std::string chosen = obtain(kLongWait);
  done = true;
  sender.join();
  EXPECT_EQ(chosen, R"({"created_at_ts":1})");
  EXPECT_EQ(records(),
            (std::vector<Record>{{P7::kInfo, "Cached configuration loaded (ts: 1)"},
                                 {P7::kWarning, "Empty configuration from MQTT"},
                                 {P7::kWarning, "Using file config (MQTT unavailable)"}}));
}

TEST_F(Configuration, SubscriptionEndsWithTheWait) {
  publishRetained(R"({"created_at_ts":3})");
  auto client = connect("receiver");
  ASSERT_TRUE(norvane::receiveMqttConfig(client, kLongWait).valid);
  publisher_->Send(kConfigurationTopic, R"({"created_at_ts":4})", Qos::AtLeastOnce, false);
  EXPECT_THROW(client->Receive("/#", milliseconds(500)), std::runtime_error);
}

}  // namespace
