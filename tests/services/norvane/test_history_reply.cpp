// Which replies of wb-mqtt-db the collection step keeps, drops silently or rejects.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "collection_support.h"
#include "history_reply.h"

namespace norvane {
namespace {

struct ReplyCase {
  const char* text;
  ReplyShape shape;
};

class ClassifyReply : public ::testing::TestWithParam<ReplyCase> {
 protected:
  static kavrion::IoMap ioMap() {
    kavrion::IoMap map;
    map["m1"] = collection::makeEntry("meter_1", {"P"});
    return map;
  }
};

TEST_P(ClassifyReply, Shape) {
  const auto& param = GetParam();
  EXPECT_EQ(classifyReply(nlohmann::json::parse(param.text), ioMap()), param.shape) << param.text;
}

INSTANTIATE_TEST_SUITE_P(
    NoValues, ClassifyReply,
    ::testing::Values(ReplyCase{"null", ReplyShape::kNoValues},
                      ReplyCase{R"({})", ReplyShape::kNoValues},
                      ReplyCase{R"({"result":null})", ReplyShape::kNoValues},
                      ReplyCase{R"({"result":{}})", ReplyShape::kNoValues},
                      ReplyCase{R"({"result":{"values":null}})", ReplyShape::kNoValues},
                      ReplyCase{R"({"result":{"values":[]}})", ReplyShape::kNoValues},
                      ReplyCase{R"({"id":"zz","result":{"values":{}}})", ReplyShape::kNoValues}));

INSTANTIATE_TEST_SUITE_P(
    Usable, ClassifyReply,
    ::testing::Values(ReplyCase{R"({"id":"m1","result":{"values":[{"control":"P","value":"1"}]}})",
                                ReplyShape::kUsable},
                      ReplyCase{
                          R"({"id":"m1","result":{"values":[{"control":"P","value":1,"min":0.5,)"
                          R"("max":"2","device":"x","timestamp":5}]}})",
                          ReplyShape::kUsable},
                      ReplyCase{R"({"id":"m1","result":{"values":{"a":{"control":"P","value":"1"},)"
                                R"("b":{"control":"Q","value":2}}}})",
                                ReplyShape::kUsable}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, ClassifyReply,
    ::testing::Values(
        ReplyCase{"5", ReplyShape::kMalformed}, ReplyCase{"[1,2]", ReplyShape::kMalformed},
        ReplyCase{R"("text")", ReplyShape::kMalformed},
        ReplyCase{R"({"result":5})", ReplyShape::kMalformed},
        ReplyCase{R"({"result":[{"values":[1]}]})", ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":"abc"}})", ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":7}})", ReplyShape::kMalformed},
        ReplyCase{R"({"result":{"values":[{"control":"P","value":"1"}]}})", ReplyShape::kMalformed},
        ReplyCase{R"({"id":7,"result":{"values":[{"control":"P","value":"1"}]}})",
                  ReplyShape::kMalformed},
        ReplyCase{R"({"id":"zz","result":{"values":[{"control":"P","value":"1"}]}})",
                  ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[5]}})", ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[{"value":"1"}]}})", ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[{"control":1,"value":"1"}]}})",
                  ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[{"control":"P"}]}})", ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[{"control":"P","value":null}]}})",
                  ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[{"control":"P","value":true}]}})",
                  ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[{"control":"P","value":"1","max":[1]}]}})",
                  ReplyShape::kMalformed},
        ReplyCase{R"({"id":"m1","result":{"values":[{"control":"P","value":"1","min":{}}]}})",
                  ReplyShape::kMalformed},
        // One bad row spoils the whole reply, wherever it stands.
        ReplyCase{R"({"id":"m1","result":{"values":[{"control":"P","value":"1"},)"
                  R"({"control":"P","value":false}]}})",
                  ReplyShape::kMalformed}));

TEST(StrayReason, WindowEndsBelongToTheRequestAndRowsThatSayNothingAreTaken) {
  const AwaitedReply awaited{"m1", "meter_1", "P", 1700000000, 1700000120};
  const std::pair<const char*, std::string> cases[] = {
      {R"({"timestamp":1700000000})", ""},
      {R"({"timestamp":1700000120})", ""},
      {R"({"timestamp":1699999999.5})",
       R"("timestamp" 1699999999.5 lies outside 1700000000-1700000120)"},
      {R"({"timestamp":1700000121})",
       R"("timestamp" 1700000121 lies outside 1700000000-1700000120)"},
      {R"({"timestamp":"1700000121","device":7})", ""},  // not of the types a logger writes
      {R"({"device":"meter_1","control":"p"})", R"("control" is "p", not "P")"},
  };
  for (const auto& [row, reason] : cases) {
    const auto reply =
        nlohmann::json::parse(R"({"id":"m1","result":{"values":[)" + std::string(row) + "]}}");
    EXPECT_EQ(strayReason(reply, awaited), reason) << row;
  }
}

}  // namespace
}  // namespace norvane
