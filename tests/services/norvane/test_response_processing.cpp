// Meter message repacking, the completeness check of its cells, and the message id.
#include <gtest/gtest.h>

#include <list>
#include <random>
#include <regex>
#include <set>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "collection_support.h"
#include "response_processing.h"

namespace norvane {
namespace {

using collection::makeEntry;
using collection::Record;
using collection::RecordLog;
using nlohmann::json;

// An entry whose cells must hold two values each.
struct PairedIo : kavrion::IoInfo {
  int getTargetSize(const std::string&, int) const override { return 2; }
};

kavrion::IoMap twoMeters() {
  kavrion::IoMap ioMap;
  ioMap["m1"] = makeEntry("meter_1", {"P", "U"});
  ioMap["m2"] = makeEntry("meter_2", {"P"}, "", "meter_water");
  return ioMap;
}

std::string reply(const std::string& id, const json& rows) {
  return json{{"id", id}, {"result", {{"values", rows}}}}.dump();
}

json row(const std::string& control, json value) {
  return json{{"control", control}, {"value", std::move(value)}};
}

json row(const std::string& control, json value, json min, json max) {
  return json{{"control", control},
              {"value", std::move(value)},
              {"min", std::move(min)},
              {"max", std::move(max)}};
}

// The message with its random id checked and taken out.
json repackChecked(const std::list<std::string>& replies, const kavrion::IoMap& ioMap,
                   int64_t timestamp = 1700000120) {
  json message = json::parse(repackResponse(replies, ioMap, timestamp));
  EXPECT_TRUE(
      std::regex_match(message.at("msg_id").get<std::string>(), std::regex("[0-9a-f]{16}")));
  message.erase("msg_id");
  return message;
}

class PostProcessResponse : public ::testing::Test {
 protected:
  kavrion::IoMap ioMap_ = twoMeters();
  RecordLog log_;
};

TEST_F(PostProcessResponse, KeepsCellsOfTheTargetSizeAndErasesTheOthersWithARecordEach) {
  kavrion::IoMap paired;
  paired["m1"] = std::make_unique<PairedIo>();
  const auto erased = [](const char* cell, int size, const char* got) {
    return Record{P7::kInfo, fmt::format("ERASE cell '{}' from IO 'm1'. target_size={}, got '{}'",
                                         cell, size, got)};
  };
  const struct {
    const kavrion::IoMap* ioMap;
    const char* message;
    const char* kept;  // the message afterwards
    std::vector<Record> records;
  } cases[] = {
      {&ioMap_,
       R"({"io":{"m1":{"data":{"P":{"avg":[1.0],"max":[2.0],"min":[0.5]}},"type":"t"}}})",
       R"({"io":{"m1":{"data":{"P":{"avg":[1.0],"max":[2.0],"min":[0.5]}},"type":"t"}}})",
       {}},
      {&ioMap_,
       R"({"io":{"m1":{"data":{"P":{"avg":[1.0,2.0],"max":[1.0,2.0],"min":[1.0,2.0]}}}}})",
       R"({"io":{"m1":{"data":{}}}})",
       {erased("P", 1, R"({"avg":[1.0,2.0],"max":[1.0,2.0],"min":[1.0,2.0]})")}},
      // A missing array is quoted as null; cells go in name order, the good ones stay.
      {&ioMap_,
       R"({"io":{"m1":{"data":{"Z":{"avg":[],"max":[],"min":[]},"A":{"avg":[1.0],"max":[1.0]},)"
       R"("M":{"avg":[1.0],"max":[1.0],"min":[1.0]}}}}})",
       R"({"io":{"m1":{"data":{"M":{"avg":[1.0],"max":[1.0],"min":[1.0]}}}}})",
       {erased("A", 1, R"({"avg":[1.0],"max":[1.0],"min":null})"),
        erased("Z", 1, R"({"avg":[],"max":[],"min":[]})")}},
      {&paired,
       R"({"io":{"m1":{"data":{"one":{"avg":[1.0],"max":[1.0],"min":[1.0]},)"
       R"("two":{"avg":[1.0,2.0],"max":[1.0,2.0],"min":[1.0,2.0]}}}}})",
       R"({"io":{"m1":{"data":{"two":{"avg":[1.0,2.0],"max":[1.0,2.0],"min":[1.0,2.0]}}}}})",
       {erased("one", 2, R"({"avg":[1.0],"max":[1.0],"min":[1.0]})")}},
      {&ioMap_,
       R"({"io":{"m1":{"data":{"P":5},"type":"t"}}})",
       R"({"io":{"m1":{"data":{"P":5},"type":"t"}}})",
       {{P7::kError, R"(PARSING ERROR!! {"io":{"m1":{"data":{"P":5},"type":"t"}}})"}}},
      {&ioMap_, R"({"io":{}})", R"({"io":{}})", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    log_.clear();
    json message = json::parse(c.message);
    postProcessResponse(message, *c.ioMap);
    EXPECT_EQ(message.dump(), c.kept);
    EXPECT_EQ(log_.records(), c.records);
  }
}

TEST_F(PostProcessResponse, UnknownEntryIsAnError) {
  json message = json::parse(R"({"io":{"zz":{"data":{}}}})");
  try {
    postProcessResponse(message, ioMap_);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "IO id \"zz\" not found!");
  }
}

class RepackResponse : public ::testing::Test {
 protected:
  kavrion::IoMap ioMap_ = twoMeters();
  RecordLog log_;
};

TEST_F(RepackResponse, EmptyListGivesEmptyText) {
  EXPECT_EQ(repackResponse({}, ioMap_, 1700000120), "");
}

TEST_F(RepackResponse, MessageHoldsEntriesTypeFiguresAndTimestampInKeyOrder) {
  const std::string text = repackResponse(
      {reply("m1", json::array({row("P", "231", "230.5", "232")}))}, ioMap_, 1700000120);
  const std::regex shape(
      R"(\{"io":\{"m1":\{"data":\{"P":\{"avg":\[231\.0\],"max":\[232\.0\],"min":\[230\.5\]\}\},)"
      R"("type":"meter_electricity"\}\},"msg_id":"[0-9a-f]{16}","timestamp":1700000120\})");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(RepackResponse, RepliesOfOneEntryWithDifferentControlsShareTheEntry) {
  const json message = repackChecked(
      {reply("m1", json::array({row("P", 1)})), reply("m1", json::array({row("U", 2)})),
       reply("m2", json::array({row("P", 3)}))},
      ioMap_);
  EXPECT_EQ(message.dump(),
            R"({"io":{"m1":{"data":{"P":{"avg":[1.0],"max":[1.0],"min":[1.0]},)"
            R"("U":{"avg":[2.0],"max":[2.0],"min":[2.0]}},"type":"meter_electricity"},)"
            R"("m2":{"data":{"P":{"avg":[3.0],"max":[3.0],"min":[3.0]}},"type":"meter_water"}},)"
            R"("timestamp":1700000120})");
}

TEST_F(RepackResponse, SameControlTwiceIsErasedAsIncomplete) {
  const json message = repackChecked(
      {reply("m1", json::array({row("P", 1)})), reply("m1", json::array({row("P", 2)}))}, ioMap_);
  EXPECT_EQ(message["io"].dump(), R"({"m1":{"data":{},"type":"meter_electricity"}})");
  EXPECT_TRUE(log_.contains({P7::kInfo,
                             "ERASE cell 'P' from IO 'm1'. target_size=1, got "
                             "'{\"avg\":[1.0,2.0],\"max\":[1.0,2.0],\"min\":[1.0,2.0]}'"}));
}

TEST_F(RepackResponse, ValuesAreReadLikeStodAndARowWithoutMaxAndMinGivesItsValueToAllThree) {
  struct Case {
    json value;
    std::string stored;
  };
  for (const Case& c :
       {Case{"12.5abc", "12.5"}, Case{" 7", "7.0"}, Case{7, "7.0"}, Case{"0x10", "16.0"},
        Case{-2.25, "-2.25"}, Case{"1e3", "1000.0"}, Case{"nan", "null"}}) {
    const json message = repackChecked({reply("m1", json::array({row("P", c.value)}))}, ioMap_);
    EXPECT_EQ(message["io"]["m1"]["data"]["P"].dump(),
              fmt::format(R"({{"avg":[{0}],"max":[{0}],"min":[{0}]}})", c.stored))
        << c.value.dump();
  }
}
TEST_F(RepackResponse, TextWithoutNumberDropsTheEntryAndALaterGoodRowBringsBackDataOnly) {
  const std::string bad = reply("m1", json::array({row("P", "abc"), row("U", "5")}));
  const json message = repackChecked({bad}, ioMap_);
  EXPECT_EQ(message["io"].dump(), R"({"m1":{"data":{"U":{"avg":[5.0],"max":[5.0],"min":[5.0]}}}})");
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{
                {P7::kError, "Error while postpocessing value: stod Input data: " + bad}}));
}

TEST_F(RepackResponse, NumberOutOfRangeIsHandledLikeTextWithoutNumber) {
  for (const char* text : {"1e999", "-1e999", "1e-999"}) {
    RecordLog log;
    const std::string bad = reply("m1", json::array({row("P", "1", "0", text)}));
    const json message = repackChecked({bad, reply("m2", json::array({row("P", 3)}))}, ioMap_);
    EXPECT_FALSE(message["io"].contains("m1")) << text;
    EXPECT_TRUE(message["io"].contains("m2")) << text;
    EXPECT_EQ(log.records(),
              (std::vector<Record>{
                  {P7::kError, "Error while postpocessing value: stod Input data: " + bad}}));
  }
}

TEST_F(RepackResponse, UnknownControlDropsTheEntry) {
  const std::string bad = reply("m1", json::array({row("X", 1)}));
  const json message = repackChecked({bad}, ioMap_);
  EXPECT_EQ(message["io"].dump(), "{}");
  EXPECT_TRUE(log_.contains({P7::kError,
                             "Error while postpocessing value: Key by topic \"X\" not found! "
                             "Input data: " +
                                 bad}));
}

TEST_F(RepackResponse, EveryEntryRemovedStillGivesAMessageWithEmptyIo) {
  const json message = repackChecked(
      {reply("m1", json::array({row("P", "abc")})), reply("m2", json::array({row("P", "")}))},
      ioMap_);
  EXPECT_EQ(message.dump(), R"({"io":{},"timestamp":1700000120})");
}

TEST_F(RepackResponse, EntryLeftWithoutDataIsDroppedInsteadOfBreakingTheCheck) {
  // The second reply sets "type" again after the first reply's only row failed.
  const json message =
      repackChecked({reply("m1", json::array({row("P", "abc")})), reply("m1", json::array()),
                     reply("m2", json::array({row("P", 1)}))},
                    ioMap_);
  EXPECT_FALSE(message["io"].contains("m1"));
  EXPECT_TRUE(message["io"].contains("m2"));
}

TEST_F(RepackResponse, RowsMayComeAsAnObject) {
  const json rows = {{"first", row("P", 1)}, {"second", row("U", 2)}};
  const json message = repackChecked({reply("m1", rows)}, ioMap_);
  EXPECT_EQ(message["io"]["m1"]["data"].size(), 2U);
}

TEST_F(RepackResponse, UnknownEntryIsAnErrorAndGivesNoMessage) {
  try {
    repackResponse({reply("zz", json::array({row("P", 1)}))}, ioMap_, 1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "DeviceInfo id \"zz\" not found!");
  }
}

TEST(MsgId, IsSixteenHexDigitsEvenForASmallDraw) {
  std::mt19937 engine(0);
  int leadingZeros = 0;
  for (int i = 0; i < 200; ++i) {
    const std::string id = formatMsgId(engine);
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{16}"))) << id;
    leadingZeros += id[0] == '0';
  }
  EXPECT_GT(leadingZeros, 0) << "no small draw among the ids";
}

TEST(MsgId, MessagesGetDifferentIds) {
  kavrion::IoMap ioMap = twoMeters();
  std::set<std::string> ids;
  for (int i = 0; i < 50; ++i) {
    const json message =
        json::parse(repackResponse({reply("m1", json::array({row("P", 1)}))}, ioMap, 1));
    ids.insert(message.at("msg_id").get<std::string>());
  }
  EXPECT_EQ(ids.size(), 50U);
}

}  // namespace
}  // namespace norvane
