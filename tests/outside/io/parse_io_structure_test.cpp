// Tests of the configuration document format: accepted shapes, templates and every rejection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io_info.h"
#include "p7_trace.h"

namespace kavrion {
namespace {

using json = nlohmann::json;

IoMap parse(const std::string& text, bool strict = true) {
  TemplateCacheCleanupGuard guard(false);
  return parseIoStructure<IoInfo>(json::parse(text), guard, strict);
}

// The runtime_error text, so that a table can hold expected texts.
std::string errorOf(const std::string& text) {
  try {
    parse(text);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no error)";
}

std::string withEntry(const std::string& fields) {
  return R"({"io": [{"id": "m1", )" + fields + "}]}";
}

TEST(ParseIoStructure, ReadsEveryFieldOfAnEntry) {
  IoMap map = parse(R"({"created_at_ts": 1765152000, "io": [
      {"id": "m1", "device": "meter_1", "type": "meter_electricity", "kind": 1,
       "ping": "/devices/meter_1/meta/error", "cells": ["U", "P"], "unknown": true}]})");
  ASSERT_EQ(map.size(), 1u);
  const IoInfo& io = *map.at("m1");
  EXPECT_EQ(io.deviceName, "meter_1");
  EXPECT_EQ(io.type, "meter_electricity");
  EXPECT_EQ(io.kind, 1);
  EXPECT_EQ(io.getPingTopic(), "/devices/meter_1/meta/error");
  EXPECT_EQ(io.getSortedCells(), (std::vector<std::string>{"P", "U"}));
  EXPECT_EQ(io.getCells(), (std::unordered_set<std::string>{"P", "U"}));
  EXPECT_EQ(io.cellByTopic, (std::unordered_map<std::string, std::string>{{"P", "P"}, {"U", "U"}}));
}

TEST(ParseIoStructure, OptionalFieldsTakeTheirDefaults) {
  // An explicit empty ping means no ping topic, like an absent one.
  for (const char* ping : {"", R"(, "ping": "")"}) {
    IoMap map = parse(withEntry(std::string(R"("device": "d", "type": "", "cells": [])") + ping));
    const IoInfo& io = *map.at("m1");
    EXPECT_EQ(io.kind, 0);
    EXPECT_EQ(io.getPingTopic(), "") << ping;
    EXPECT_TRUE(io.getSortedCells().empty());
    EXPECT_TRUE(io.cellByTopic.empty());
  }
}

TEST(ParseIoStructure, AbsentOrEmptyIoGivesAnEmptyMap) {
  EXPECT_TRUE(parse("{}").empty());
  EXPECT_TRUE(parse(R"({"io": []})").empty());
  EXPECT_TRUE(parse(R"({"templates": {}, "io": []})").empty());
}

TEST(ParseIoStructure, SlashesInsideDeviceAndCellNamesAreAccepted) {
  IoMap map = parse(withEntry(R"("device": "bus/meter 1", "type": "t", "cells": ["L1/P"])"));
  EXPECT_EQ(map.at("m1")->deviceName, "bus/meter 1");
  EXPECT_EQ(map.at("m1")->cellByTopic.at("L1/P"), "L1/P");
}

TEST(ParseIoStructure, SortedCellsFollowByteOrder) {
  IoMap map = parse(withEntry(R"("device": "d", "type": "t", "cells": ["b", "Я", "A", "a", "B/1", "Ä"])"));
  EXPECT_EQ(map.at("m1")->getSortedCells(),
            (std::vector<std::string>{"A", "B/1", "a", "b", "Ä", "Я"}));
}

TEST(ParseIoStructure, EntryTakesMissingFieldsFromItsTemplateAndOwnFieldsWin) {
  IoMap map = parse(R"({
      "templates": {"meter": {"type": "meter_electricity", "kind": 1, "cells": ["P", "U"]}},
      "io": [{"id": "plain", "device": "d1", "template": "meter"},
             {"id": "own", "device": "d2", "template": "meter", "type": "meter_water",
              "kind": 0, "cells": ["V"]}]})");
  const IoInfo& plain = *map.at("plain");
  EXPECT_EQ(plain.type, "meter_electricity");
  EXPECT_EQ(plain.kind, 1);
  EXPECT_EQ(plain.getSortedCells(), (std::vector<std::string>{"P", "U"}));
  const IoInfo& own = *map.at("own");
  EXPECT_EQ(own.type, "meter_water");
  EXPECT_EQ(own.kind, 0);
  EXPECT_EQ(own.getSortedCells(), std::vector<std::string>{"V"});
  EXPECT_EQ(own.cellByTopic.count("P"), 0u);
}

struct Rejection {
  const char* document;
  const char* error;
};

class ParseIoStructureRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(ParseIoStructureRejects, WithATextNamingEntryAndField) {
  EXPECT_EQ(errorOf(GetParam().document), GetParam().error) << GetParam().document;
}

constexpr const char* kKindError =
    R"(IO entry "m1": "kind" must be an integer from -2147483648 to 2147483647)";

INSTANTIATE_TEST_SUITE_P(
    Document, ParseIoStructureRejects,
    ::testing::Values(
        Rejection{"[]", "configuration must be a JSON object"},
        Rejection{"null", "configuration must be a JSON object"},
        Rejection{R"({"io": {}})", R"("io" must be an array)"},
        Rejection{R"({"io": null})", R"("io" must be an array)"},
        Rejection{R"({"io": "m1"})", R"("io" must be an array)"},
        Rejection{R"({"templates": [], "io": []})", R"("templates" must be an object)"},
        Rejection{R"({"io": [5]})", "IO entry at index 0: must be an object"},
        Rejection{R"({"io": [{"device": "d", "type": "t", "cells": []}]})",
                  R"(IO entry at index 0: "id" must be a non-empty string)"},
        Rejection{R"({"io": [{"id": "", "device": "d", "type": "t", "cells": []}]})",
                  R"(IO entry at index 0: "id" must be a non-empty string)"},
        Rejection{R"({"io": [{"id": 7, "device": "d", "type": "t", "cells": []}]})",
                  R"(IO entry at index 0: "id" must be a non-empty string)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": []},
                             {"id": "m1", "device": "e", "type": "t", "cells": []}]})",
                  R"(IO entry "m1": duplicate id)"}));

INSTANTIATE_TEST_SUITE_P(
    EntryFields, ParseIoStructureRejects,
    ::testing::Values(
        Rejection{R"({"io": [{"id": "m1", "type": "t", "cells": []}]})",
                  R"(IO entry "m1": "device" must be a non-empty string)"},
        Rejection{R"({"io": [{"id": "m1", "device": "", "type": "t", "cells": []}]})",
                  R"(IO entry "m1": "device" must be a non-empty string)"},
        Rejection{R"({"io": [{"id": "m1", "device": 1, "type": "t", "cells": []}]})",
                  R"(IO entry "m1": "device" must be a non-empty string)"},
        Rejection{R"({"io": [{"id": "m1", "device": "a+b", "type": "t", "cells": []}]})",
                  R"(IO entry "m1": "device" must not contain "+", "#" or NUL)"},
        Rejection{R"({"io": [{"id": "m1", "device": "a#", "type": "t", "cells": []}]})",
                  R"(IO entry "m1": "device" must not contain "+", "#" or NUL)"},
        Rejection{R"({"io": [{"id": "m1", "device": "a\u0000b", "type": "t", "cells": []}]})",
                  R"(IO entry "m1": "device" must not contain "+", "#" or NUL)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "cells": []}]})",
                  R"(IO entry "m1": "type" is required (from the entry or its template))"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": 5, "cells": []}]})",
                  R"(IO entry "m1": "type" must be a string)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t"}]})",
                  R"(IO entry "m1": "cells" is required (from the entry or its template))"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": "P"}]})",
                  R"(IO entry "m1": "cells" must be an array of strings)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": ["P", 1]}]})",
                  R"(IO entry "m1": "cells" must be an array of strings)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [""]}]})",
                  R"(IO entry "m1": "cells" must not hold an empty name)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": ["P+"]}]})",
                  R"(IO entry "m1": cell "P+" must not contain "+", "#" or NUL)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": ["#"]}]})",
                  R"(IO entry "m1": cell "#" must not contain "+", "#" or NUL)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": ["P", "U", "P"]}]})",
                  R"(IO entry "m1": cell "P" is listed twice)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "ping": "x/y"}]})",
                  R"(IO entry "m1": "ping" must start with "/")"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "ping": 1}]})",
                  R"(IO entry "m1": "ping" must be a string)"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "ping": "/devices/+/meta/error"}]})",
                  R"(IO entry "m1": "ping" must not contain "+", "#" or NUL)"}));

INSTANTIATE_TEST_SUITE_P(
    Kind, ParseIoStructureRejects,
    ::testing::Values(
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "kind": "1"}]})", kKindError},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "kind": 1.0}]})", kKindError},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "kind": 1e300}]})", kKindError},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "kind": null}]})", kKindError},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "kind": 2147483648}]})", kKindError},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "kind": -2147483649}]})", kKindError},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "type": "t", "cells": [], "kind": 18446744073709551615}]})", kKindError}));

INSTANTIATE_TEST_SUITE_P(
    Templates, ParseIoStructureRejects,
    ::testing::Values(
        Rejection{R"({"io": [{"id": "m1", "device": "d", "template": "nope"}]})",
                  R"(IO entry "m1": unknown template "nope")"},
        Rejection{R"({"io": [{"id": "m1", "device": "d", "template": 1}]})",
                  R"(IO entry "m1": "template" must be a string)"},
        Rejection{R"({"templates": {"t": 5}, "io": []})", R"(template "t": must be an object)"},
        Rejection{R"({"templates": {"t": {"cells": "P"}}, "io": []})",
                  R"(template "t": "cells" must be an array of strings)"},
        Rejection{R"({"templates": {"t": {"kind": 1.5}}, "io": []})",
                  R"(template "t": "kind" must be an integer from -2147483648 to 2147483647)"},
        Rejection{R"({"templates": {"t": {"type": []}}, "io": []})", R"(template "t": "type" must be a string)"}));

TEST(ParseIoStructure, KindAcceptsTheWholeInt32Range) {
  EXPECT_EQ(parse(withEntry(R"("device": "d", "type": "t", "cells": [], "kind": -2147483648)"))
                .at("m1")->kind, INT32_MIN);
  EXPECT_EQ(parse(withEntry(R"("device": "d", "type": "t", "cells": [], "kind": 2147483647)"))
                .at("m1")->kind, INT32_MAX);
}

TEST(ParseIoStructure, NonStrictSkipsBadEntriesWithAWarning) {
  std::vector<std::string> warnings;
  P7::RecordCapture capture([&](int level, const std::string& text) {
    if (level == P7::kWarning) warnings.push_back(text);
  });
  IoMap map = parse(R"({"templates": {"broken": {"cells": 1}, "ok": {"type": "t", "cells": ["P"]}},
      "io": [{"id": "m1", "device": "d1", "template": "ok"},
             {"id": "m2", "device": "d2", "type": "t", "cells": "P"},
             {"id": "m1", "device": "d3", "template": "ok"},
             {"id": "m3", "device": "d3", "template": "broken"},
             7,
             {"id": "m4", "device": "d4", "type": "t", "cells": []}]})",
                    false);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at("m1")->deviceName, "d1");
  EXPECT_EQ(map.count("m4"), 1u);
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                R"(IO configuration: skipped: template "broken": "cells" must be an array of strings)",
                R"(IO configuration: skipped: IO entry "m2": "cells" must be an array of strings)",
                R"(IO configuration: skipped: IO entry "m1": duplicate id)",
                R"(IO configuration: skipped: IO entry "m3": template "broken" is invalid)",
                R"(IO configuration: skipped: IO entry at index 4: must be an object)"}));
}

TEST(ParseIoStructure, NonStrictStillRejectsADocumentOfTheWrongShape) {
  TemplateCacheCleanupGuard guard(false);
  EXPECT_THROW(parseIoStructure<IoInfo>(json::parse(R"({"io": {}})"), guard, false),
               std::runtime_error);
  EXPECT_THROW(parseIoStructure<IoInfo>(json::array(), guard, false), std::runtime_error);
}

TEST(TemplateCache, HoldsEachDistinctTemplateOnceUntilTheGuardEnds) {
  { TemplateCacheCleanupGuard clean(false); }
  {
    TemplateCacheCleanupGuard guard(true);
    parseIoStructure<IoInfo>(json::parse(R"({"templates": {
        "a": {"type": "t", "cells": ["P"]}, "b": {"type": "t", "cells": ["P"]},
        "c": {"type": "t", "cells": ["U"]}}})"),
                             guard, true);
    std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
    EXPECT_EQ(detail::templateCacheStorage().size(), 2u);
  }
  std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
  EXPECT_TRUE(detail::templateCacheStorage().empty());
}

}  // namespace
}  // namespace kavrion
