// Request texts of the history call and the renewal of its topics.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include <fmt/format.h>

#include "collection_support.h"
#include "history_client.h"
#include "service_state.h"

namespace norvane {
namespace {

using collection::makeEntry;

TEST(MakeRequests, GivesOneRequestPerSortedCellByteForByte) {
  const auto io = makeEntry("meter_1", {"I", "P", "U"});
  const auto requests = makeRequests("m1", io, {1700000000, 1700000120});
  ASSERT_EQ(requests.size(), 3U);
  const char* pattern =
      R"({{"id":"m1","params":{{"channels":[["meter_1","{}"]],"limit":1,"min_interval":120,)"
      R"("request_timeout":50,"timestamp":{{"gt":1700000000,"lt":1700000120}},"ver":0}}}})";
  EXPECT_EQ(requests[0], fmt::format(fmt::runtime(pattern), "I"));
  EXPECT_EQ(requests[1], fmt::format(fmt::runtime(pattern), "P"));
  EXPECT_EQ(requests[2], fmt::format(fmt::runtime(pattern), "U"));
}

TEST(MakeRequests, EntryWithoutCellsGivesNoRequest) {
  EXPECT_TRUE(makeRequests("m1", makeEntry("meter_1", {}), {0, 120}).empty());
}

TEST(MakeRequests, NamesAreEscapedAsTheSerializerEscapesThem) {
  const struct {
    std::string id, device, cell, channel;
  } cases[] = {
      {"m\"1", "dev/ice", "a\"b", R"("m\"1","params":{"channels":[["dev/ice","a\"b"]])"},
      {"Счётчик", "d\\e", "c\u0001\t", R"("Счётчик","params":{"channels":[["d\\e","c\u0001\t"]])"},
  };
  for (const auto& c : cases) {
    const auto requests = makeRequests(c.id, makeEntry(c.device, {c.cell}), {10, 70});
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0], R"({"id":)" + c.channel +
                               R"(,"limit":1,"min_interval":60,"request_timeout":50,)"
                               R"("timestamp":{"gt":10,"lt":70},"ver":0}})");
  }
}

class DbResubscribe : public ::testing::Test {
 protected:
  void SetUp() override {
    topic_counter = 0;
    send_topic.clear();
    bd_topic.clear();
  }
  std::string topic(uint16_t counter) const {
    return fmt::format("/rpc/v1/db_logger/history/get_values/pid_{}_N{}", getpid(), counter);
  }
  // Never connected: renewal works on the topics alone and subscribes on the next connect.
  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client_ =
      std::make_shared<kavrion::mosquitto::MqttAsyncWrapper>("e2e_resubscribe",
                                                            "tcp://127.0.0.1:1");
};

TEST_F(DbResubscribe, InitialCallKeepsCounterZero) {
  db_resubscribe(true, client_);
  EXPECT_EQ(topic_counter, 0);
  EXPECT_EQ(send_topic, topic(0));
  EXPECT_EQ(bd_topic, topic(0) + "/reply");
}

TEST_F(DbResubscribe, RenewalMovesToTheNextCounter) {
  db_resubscribe(true, client_);
  db_resubscribe(false, client_);
  EXPECT_EQ(topic_counter, 1);
  EXPECT_EQ(send_topic, topic(1));
  EXPECT_EQ(bd_topic, topic(1) + "/reply");
}

TEST_F(DbResubscribe, CounterWrapsFrom65534ToZero) {
  topic_counter = 65534;
  db_resubscribe(false, client_);
  EXPECT_EQ(topic_counter, 0);
  EXPECT_EQ(bd_topic, topic(0) + "/reply");
}

TEST_F(DbResubscribe, CounterReaches65534) {
  topic_counter = 65533;
  db_resubscribe(false, client_);
  EXPECT_EQ(topic_counter, 65534);
  EXPECT_EQ(send_topic, topic(65534));
}

}  // namespace
}  // namespace norvane
