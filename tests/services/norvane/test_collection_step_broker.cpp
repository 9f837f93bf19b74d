// Collection steps against a real broker, with the history stand-in as wb-mqtt-db.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "collection_step.h"
#include "collection_support.h"
#include "history_client.h"
#include "peers/history_stand_in.h"
#include "peers/series.h"
#include "service_state.h"
#include "test_broker.h"

namespace norvane {
namespace {

using namespace std::chrono_literals;
using collection::makeEntry;
using collection::Record;
using collection::RecordLog;
using kavrion::mosquitto::MqttAsyncWrapper;
using kavrion::mosquitto::Qos;
using nlohmann::json;
using peers::answer;
using peers::sendText;
using peers::silence;

constexpr int64_t kStart = 1700000000;
constexpr int64_t kEnd = kStart + 120;
constexpr const char* kMeterTopic = "/kv/bridge/data/meter";
constexpr const char* kPing = "/devices/meter_1/meta/error";

std::string uniqueId(const std::string& role) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return fmt::format("{}_{}_{}", role, test->name(), getpid());
}

std::string historyTopic(uint16_t counter) {
  return fmt::format("/rpc/v1/db_logger/history/get_values/pid_{}_N{}", getpid(), counter);
}

class StepAgainstBroker : public ::testing::Test {
 protected:
  void SetUp() override {
    previousTimeout_ = setReplyTimeout(200ms);
    topic_counter = 0;
    m_cache.clear();
    m_error_map.clear();
    m_last_update_cache = std::chrono::steady_clock::now();
    client_ = std::make_shared<MqttAsyncWrapper>(uniqueId("step"), broker_.uri());
    client_->Connect(true);
    db_resubscribe(true, client_);
    meter_ = std::make_unique<MqttAsyncWrapper>(uniqueId("meter"), broker_.uri());
    meter_->Connect(true);
    meter_->Subscribe(kMeterTopic, Qos::ExactlyOnce, false);
    history_ = std::make_unique<peers::HistoryStandIn>(broker_.uri(), uniqueId("history"));
  }
  void TearDown() override {
    setReplyTimeout(previousTimeout_);
    m_cache.clear();
    m_error_map.clear();
  }

  StepOutcome oldStep() { return performStep({kStart, kEnd}, false, ioMap_, client_); }

  std::optional<json> meterMessage(std::chrono::milliseconds timeout = 2000ms) {
    try {
      const auto message = meter_->Receive(kMeterTopic, timeout);
      return json::parse(message.payload.begin(), message.payload.end());
    } catch (const std::runtime_error&) {
      return std::nullopt;
    }
  }

  // The figures the stand-in gives for one cell of meter_1 over the step's window.
  static json expectedCell(const std::string& device, const std::string& cell) {
    const peers::WindowFigures figures = peers::windowFigures(device, cell, kStart, kEnd);
    return json{{"avg", {figures.average}}, {"max", {figures.max}}, {"min", {figures.min}}};
  }

  // The "data" the stand-in's answers give for these cells of meter_1.
  static json meter1Cells(std::initializer_list<const char*> cells) {
    json data = json::object();
    for (const char* cell : cells) {
      data[cell] = expectedCell("meter_1", cell);
    }
    return data;
  }

  std::vector<std::string> requestTopics() const {
    std::vector<std::string> topics;
    for (const auto& request : history_->requests()) {
      topics.push_back(request.topic);
    }
    return topics;
  }

  testing::TestBroker broker_;
  std::chrono::milliseconds previousTimeout_{};
  std::shared_ptr<MqttAsyncWrapper> client_;
  std::unique_ptr<MqttAsyncWrapper> meter_;
  std::unique_ptr<peers::HistoryStandIn> history_;
  kavrion::IoMap ioMap_;
  RecordLog log_;
};

TEST_F(StepAgainstBroker, OldStepAsksEveryCellAndPublishesThemTogether) {
  ioMap_["m1"] = makeEntry("meter_1", {"I", "P", "U"}, kPing);
  ioMap_["m2"] = makeEntry("meter_2", {"P"}, "", "meter_water");
  EXPECT_EQ(oldStep(), StepOutcome::kDone);

  std::set<std::string> expectedRequests;
  for (const auto& [id, io] : ioMap_) {
    for (const std::string& request : makeRequests(id, io, {kStart, kEnd})) {
      expectedRequests.insert(request);
    }
  }
  std::set<std::string> received;
  for (const auto& request : history_->requests()) {
    EXPECT_EQ(request.topic, historyTopic(0));
    received.insert(request.text);
  }
  EXPECT_EQ(received, expectedRequests);

  const auto message = meterMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["timestamp"], kEnd);
  const json& io = (*message)["io"];
  EXPECT_EQ(io["m1"]["type"], "meter_electricity");
  EXPECT_EQ(io["m2"]["type"], "meter_water");
  for (const char* cell : {"I", "P", "U"}) {
    EXPECT_EQ(io["m1"]["data"][cell], expectedCell("meter_1", cell)) << cell;
  }
  EXPECT_EQ(io["m2"]["data"]["P"], expectedCell("meter_2", "P"));
  EXPECT_TRUE(log_.atLevel(P7::kError).empty());
}

TEST_F(StepAgainstBroker, ReplyThatCannotBeTakenIsRecordedOnceAndTheNextCellFollows) {
  ioMap_["m1"] = makeEntry("meter_1", {"I", "P"}, kPing);
  const std::string request = makeRequests("m1", ioMap_["m1"], {kStart, kEnd}).front();
  const json row = {{"control", "I"}, {"value", "1"}};
  const std::string rows =
      json{{"id", "m1"}, {"result", {{"values", json(std::vector<json>(100000, row))}}}}.dump();
  const std::string malformed = R"({"id":"m1","result":{"values":[{"control":"I","value":true}]}})";
  const struct {
    peers::Behaviour reply;
    bool renewed;        // the reply topics are renewed before the next request
    std::string record;  // the error record, or its beginning where it ends in parser words
    bool whole;
  } cases[] = {
      // First, while the reply topic is still the first one.
      {silence(), true, "no message on \"" + historyTopic(0) + "/reply\" within 0.2 s", true},
      {sendText(""), true, "Empty respone from wb-mqtt-db: " + request, true},
      // Far more rows than a request asks for: not its answer, and not quoted.
      {sendText(rows), true,
       fmt::format("Reply from wb-mqtt-db with 100000 rows ({} bytes) taken as empty: a request "
                   "for I of m1 asks for one",
                   rows.size()),
       true},
      {sendText("abc"), false, "[json.exception.parse_error.101]", false},
      {sendText(R"({"id":"m1","result":{"values":[{"control":"I","value":1e400}]}})"), false,
       "[json.exception.out_of_range.406] number overflow", false},
      {sendText(malformed), false, "Malformed reply from wb-mqtt-db: " + malformed, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    log_.clear();
    const auto first = static_cast<uint16_t>(topic_counter);
    history_->script({c.reply});
    EXPECT_EQ(oldStep(), StepOutcome::kDone);
    const auto topics = requestTopics();
    EXPECT_EQ(std::vector<std::string>(topics.end() - 2, topics.end()),
              (std::vector<std::string>{historyTopic(first), historyTopic(first + c.renewed)}));
    const auto errors = log_.atLevel(P7::kError);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_EQ(c.whole ? errors[0].text : errors[0].text.substr(0, c.record.size()), c.record);
    const auto message = meterMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ((*message)["io"]["m1"]["data"], meter1Cells({"P"}));
  }
}

TEST_F(StepAgainstBroker, FailedRenewalIsRecordedAndTheStepGoesOnWithTheNextRequest) {
  ioMap_["m1"] = makeEntry("meter_1", {"I", "P", "U"}, kPing);
  history_->script({silence()});
  // A reply topic that is not UTF-8 is refused by the client, so the renewal after the
  // silent first request fails at its unsubscribe.
  bd_topic = "/rpc/v1/db_logger/history/get_values/reply\xff";

  EXPECT_EQ(oldStep(), StepOutcome::kPostponed) << "the reply topic stays unusable";

  const auto requests = history_->requests();
  ASSERT_EQ(requests.size(), 2U) << "the second request is still sent, the third given up";
  EXPECT_EQ(json::parse(requests[0].text)["params"]["channels"][0][1], "I");
  EXPECT_EQ(json::parse(requests[1].text)["params"]["channels"][0][1], "P")
      << "no request is dropped beyond the failed one";
  EXPECT_EQ(topic_counter, 0) << "a failed renewal does not move the counter";
  std::size_t renewalFailures = 0;
  for (const Record& record : log_.atLevel(P7::kError)) {
    renewalFailures += record.text.rfind("Renewing the wb-mqtt-db topics failed: ", 0) == 0;
  }
  EXPECT_EQ(renewalFailures, 2U);
}

TEST_F(StepAgainstBroker, TwoSilentRequestsInARowPostponeTheWindowWithOneRecord) {
  ioMap_["m1"] = makeEntry("meter_1", {"I", "P", "U"}, kPing);
  history_->script({silence(), silence()});
  EXPECT_EQ(oldStep(), StepOutcome::kPostponed);
  EXPECT_EQ(topic_counter, 2);
  EXPECT_EQ(log_.atLevel(P7::kError),
            (std::vector<Record>{{P7::kError,
                                  "wb-mqtt-db does not answer, window 1700000000-1700000120 "
                                  "postponed: I of m1 (no reply), P of m1 (no reply)"}}));
  EXPECT_FALSE(meterMessage(300ms)) << "nothing gathered, nothing published";
  EXPECT_EQ(history_->requests().size(), 2U) << "the third cell is given up";
}

TEST_F(StepAgainstBroker, AnAnswerBetweenFailuresKeepsTheStepGoing) {
  // The second failure is not the last request: the step must go on past it.
  ioMap_["m1"] = makeEntry("meter_1", {"A", "B", "C", "D"}, kPing);
  history_->script({silence(), answer(), silence()});
  EXPECT_EQ(oldStep(), StepOutcome::kDone);
  EXPECT_EQ(history_->requests().size(), 4U);
  EXPECT_EQ(topic_counter, 2);
  const auto message = meterMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["io"]["m1"]["data"].dump(), meter1Cells({"B", "D"}).dump());
}

TEST_F(StepAgainstBroker, FailuresAfterAnAnswerPostponeTheWholeWindowAndPublishNothing) {
  // Published now, the cells never asked would be lost for good.
  ioMap_["m1"] = makeEntry("meter_1", {"A", "B", "C", "D"}, kPing);
  history_->script({answer(), silence(), silence()});
  EXPECT_EQ(oldStep(), StepOutcome::kPostponedPartly);
  EXPECT_EQ(history_->requests().size(), 3U);
  EXPECT_FALSE(meterMessage(300ms));
}

TEST_F(StepAgainstBroker, LastAttemptGivesUpOnlyTheFailingCellsOfAnAnsweringLogger) {
  ioMap_["m1"] = makeEntry("meter_1", {"A", "B", "C", "D"}, kPing);
  const struct {
    std::deque<peers::Behaviour> script;
    StepOutcome outcome;
    std::string record;
    std::optional<json> data;
  } cases[] = {
      {{answer(), silence(), sendText(""), answer()},
       StepOutcome::kDone,
       "wb-mqtt-db keeps failing the same requests, window 1700000000-1700000120 published "
       "without B of m1 (no reply), C of m1 (empty reply)",
       meter1Cells({"A", "D"})},
      // Nothing is given up against a logger that answers nothing.
      {{silence(), silence(), silence(), silence()},
       StepOutcome::kPostponed,
       "wb-mqtt-db does not answer, window 1700000000-1700000120 postponed: A of m1 (no reply), "
       "B of m1 (no reply), C of m1 (no reply), D of m1 (no reply)",
       std::nullopt},
  };
  for (const auto& c : cases) {
    log_.clear();
    history_->script(c.script);
    EXPECT_EQ(performStep({kStart, kEnd}, false, ioMap_, client_, {true, {}}), c.outcome);
    EXPECT_EQ(log_.atLevel(P7::kError), (std::vector<Record>{{P7::kError, c.record}}));
    const auto message = meterMessage(c.data ? 2000ms : 300ms);
    EXPECT_EQ(message ? std::optional<json>((*message)["io"]["m1"]["data"]) : std::nullopt, c.data);
  }
}

TEST_F(StepAgainstBroker, RepliesWithoutValuesAreDroppedSilently) {
  ioMap_["m1"] = makeEntry("meter_1", {"A", "B", "C", "D"}, kPing);
  history_->script({sendText("null"), sendText(R"({"result":{"values":[]}})"),
                    sendText(R"({"id":"m1","result":{"values":null}})"),
                    sendText(R"({"id":"m1","result":{}})")});
  EXPECT_EQ(oldStep(), StepOutcome::kDone);
  EXPECT_EQ(topic_counter, 0);
  EXPECT_TRUE(log_.atLevel(P7::kError).empty());
  EXPECT_TRUE(log_.atLevel(P7::kWarning).empty());
  EXPECT_FALSE(meterMessage(300ms));
}

TEST_F(StepAgainstBroker, RepliesToOtherRequestsAreDroppedAndTheRightOneIsAwaited) {
  ioMap_["m1"] = makeEntry("meter_1", {"P", "U"}, kPing);
  const auto reply = [](const char* id, const char* device, const char* cell, int64_t start) {
    return peers::buildHistoryReply(
        makeRequests(id, makeEntry(device, {cell}), {start, start + 120}).front());
  };
  const struct {
    std::string stray;
    std::string mismatch;
  } cases[] = {
      {reply("m2", "meter_1", "P", kStart), R"("id" is "m2", not "m1")"},
      {reply("m1", "meter_1", "U", kStart), R"("control" is "U", not "P")"},
      {reply("m1", "meter_2", "P", kStart), R"("device" is "meter_2", not "meter_1")"},
      {reply("m1", "meter_1", "P", kStart - 120),  // a replay of the window before
       R"("timestamp" 1699999880 lies outside 1700000000-1700000120)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mismatch);
    log_.clear();
    history_->script({peers::answerAfter({c.stray, c.stray})});
    EXPECT_EQ(oldStep(), StepOutcome::kDone);
    EXPECT_EQ(log_.atLevel(P7::kWarning),
              (std::vector<Record>{{P7::kWarning,
                                    "Reply from wb-mqtt-db for another request "
                                    "dropped (" +
                                        c.mismatch +
                                        "), still waiting "
                                        "for P of m1 over 1700000000-1700000120"}}));
    const auto message = meterMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ((*message)["io"]["m1"]["data"], meter1Cells({"P", "U"}));
  }
  // Every reply twice: each copy that outlives its exchange answers another request.
  peers::Behaviour twice = answer();
  twice.twice = true;
  history_->script({twice, twice});
  EXPECT_EQ(oldStep(), StepOutcome::kDone);
  const auto message = meterMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["io"]["m1"]["data"], meter1Cells({"P", "U"}));
}

TEST_F(StepAgainstBroker, UnavailableDeviceIsStillAskedInAnOldStep) {
  ioMap_["m1"] = makeEntry("meter_1", {"P"}, kPing);
  m_error_map[kPing].available = false;
  EXPECT_EQ(oldStep(), StepOutcome::kDone);
  const auto message = meterMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["io"]["m1"]["data"]["P"], expectedCell("meter_1", "P"));
}

TEST_F(StepAgainstBroker, LateReplyToAGivenUpRequestIsNotTakenForTheNext) {
  setReplyTimeout(400ms);
  ioMap_["m1"] = makeEntry("meter_1", {"I", "P"}, kPing);
  history_->script({answer(600ms), answer()});
  EXPECT_EQ(oldStep(), StepOutcome::kDone);
  EXPECT_EQ(topic_counter, 1);
  const auto message = meterMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["io"]["m1"]["data"].dump(), meter1Cells({"P"}).dump());
}

TEST_F(StepAgainstBroker, ReplyWaitingBeforeTheRequestIsNotTakenForIt) {
  ioMap_["m1"] = makeEntry("meter_1", {"I", "P"}, kPing);
  MqttAsyncWrapper publisher(uniqueId("publisher"), broker_.uri());
  publisher.Connect(true);
  publisher.Send(bd_topic, "stale", Qos::AtLeastOnce, false);
  for (int i = 0; i < 200 && client_->queuedMessages() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(client_->queuedMessages(), 1U);
  EXPECT_EQ(oldStep(), StepOutcome::kDone);
  EXPECT_TRUE(log_.atLevel(P7::kError).empty());
  const auto message = meterMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["io"]["m1"]["data"].dump(), meter1Cells({"I", "P"}).dump());
}

TEST_F(StepAgainstBroker, CurrentStepPublishesTheMeterMessage) {
  ioMap_["m1"] = makeEntry("meter_1", {"P", "U"}, kPing);
  m_cache["meter_1.P"] = {230.5, 229.75, 231};
  m_cache["meter_1.U"] = {12, 11, 13};
  EXPECT_EQ(performStep({kStart, kStart + 60}, true, ioMap_, client_), StepOutcome::kDone);
  const auto message = meterMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["timestamp"], kStart + 60);
  EXPECT_EQ((*message)["io"].dump(),
            R"({"m1":{"data":{"P":{"avg":[230.5],"max":[231.0],"min":[229.75]},)"
            R"("U":{"avg":[12.0],"max":[13.0],"min":[11.0]}},"type":"meter_electricity"}})");
  EXPECT_TRUE(history_->requests().empty()) << "a current step never asks wb-mqtt-db";
}

TEST_F(StepAgainstBroker, RenewalsUnsubscribeTheReplyTopicsTheyReplace) {
  db_resubscribe(false, client_);
  db_resubscribe(false, client_);
  MqttAsyncWrapper publisher(uniqueId("publisher"), broker_.uri());
  publisher.Connect(true);
  for (uint16_t counter : {0, 1, 2}) {
    publisher.Send(historyTopic(counter) + "/reply", std::to_string(counter), Qos::AtLeastOnce,
                   false);
  }
  const auto received = client_->Receive("/#", 2000ms);
  EXPECT_EQ(received.topic, historyTopic(2) + "/reply");
  EXPECT_THROW(client_->Receive("/#", 300ms), std::runtime_error);
}

}  // namespace
}  // namespace norvane
