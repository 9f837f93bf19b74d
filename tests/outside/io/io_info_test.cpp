// Tests of the I/O entry's value store and its virtual operations.
#include "io_info.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kavrion {
namespace {

using json = nlohmann::json;

IoInfo entryWithCells(std::initializer_list<std::string> cells) {
  IoInfo io;
  io.deviceName = "meter_1";
  io.type = "meter_electricity";
  for (const std::string& cell : cells) {
    io.cells.push_back(cell);
    io.cellByTopic.emplace(cell, cell);
  }
  return io;
}

TEST(IoInfoProcessValue, StoresMaxAvgMinAsFloats) {
  IoInfo io = entryWithCells({"P"});
  json data = json::object();
  io.processValue(data, "P", 5, 7, 3);
  EXPECT_EQ(data.dump(), R"({"P":{"avg":[5.0],"max":[7.0],"min":[3.0]}})");
}

TEST(IoInfoProcessValue, AppendsOneValuePerRowInRowOrder) {
  IoInfo io = entryWithCells({"P", "U"});
  json data;  // null becomes the object
  io.processValue(data, "P", 1, 1, 1);
  io.processValue(data, "U", 230.5, 231.25, 229.75);
  io.processValue(data, "P", 2, 2.5, -0.5);
  EXPECT_EQ(data.dump(),
            R"({"P":{"avg":[1.0,2.0],"max":[1.0,2.5],"min":[1.0,-0.5]},)"
            R"("U":{"avg":[230.5],"max":[231.25],"min":[229.75]}})");
}

TEST(IoInfoProcessValue, UnknownTopicThrowsAndLeavesDataUnchanged) {
  IoInfo io = entryWithCells({"P"});
  json data = json::parse(R"({"P":{"avg":[1.0],"max":[1.0],"min":[1.0]}})");
  const json before = data;
  try {
    io.processValue(data, "/devices/meter_1/controls/Q", 1, 2, 3);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), R"(Key by topic "/devices/meter_1/controls/Q" not found!)");
  }
  EXPECT_EQ(data, before);
}

TEST(IoInfoProcessValue, CellOfTheWrongShapeThrowsBeforeStoringAnything) {
  IoInfo io = entryWithCells({"P"});
  for (const char* text : {R"({"P": 5})", R"({"P": {"max": [], "avg": "x"}})", "[1]"}) {
    SCOPED_TRACE(text);
    json data = json::parse(text);
    const json before = data;
    EXPECT_THROW(io.processValue(data, "P", 1, 2, 3), json::type_error);
    EXPECT_EQ(data, before);
  }
}

// A device type that scales its values and collects two rows per cell.
class ScaledIo : public IoInfo {
 public:
  explicit ScaledIo(std::vector<std::string>* hookCalls, bool* destroyed)
      : hookCalls_(hookCalls), destroyed_(destroyed) {
    cells = {"P"};
    cellByTopic = {{"/devices/meter_1/controls/P", "P"}};
  }
  ~ScaledIo() override { *destroyed_ = true; }
  double postprocessingValue(const std::string& cell, const std::string&,
                             double value) const override {
    hookCalls_->push_back(cell + "=" + std::to_string(static_cast<int>(value)));
    return value * 10;
  }
  int getTargetSize(const std::string&, int) const override { return 2; }

 private:
  std::vector<std::string>* hookCalls_;
  bool* destroyed_;
};

TEST(IoInfo, DerivedHooksRunThroughVirtualDispatchInMaxAvgMinOrder) {
  std::vector<std::string> calls;
  bool destroyed = false;
  IoMap map;
  map.emplace("m1", std::make_unique<ScaledIo>(&calls, &destroyed));
  const IoInfo& io = *map.at("m1");
  json data;
  io.processValue(data, "/devices/meter_1/controls/P", 2, 3, 1);
  EXPECT_EQ(calls, (std::vector<std::string>{"P=3", "P=2", "P=1"}));
  EXPECT_EQ(data.dump(), R"({"P":{"avg":[20.0],"max":[30.0],"min":[10.0]}})");
  EXPECT_EQ(io.getTargetSize("P", 1), 2);
}

}  // namespace
}  // namespace kavrion
