// The cached configuration file and the creation-time rule shared with the MQTT candidate.
#include "config_persistence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>

#include "record_log.h"
#include "test_broker.h"

namespace {

using kavrion::config_persistence::getTimestamp;
using kavrion::config_persistence::load;
using nlohmann::json;
using norvane::testing::Record;
using norvane::testing::RecordLog;
using norvane::testing::TempDir;

constexpr int64_t kFallback = 1234;

struct TimestampCase {
  const char* name;
  json document;
  int64_t expected;
};
void PrintTo(const TimestampCase& param, std::ostream* out) { *out << param.name; }

class Timestamp : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(Timestamp, FollowsTheCreationTimeRule) {
  EXPECT_EQ(getTimestamp(GetParam().document, kFallback), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ConfigPersistence, Timestamp,
    ::testing::Values(
        TimestampCase{"Integer", json{{"created_at_ts", 1700000000}}, 1700000000},
        TimestampCase{"NegativeUsedUnchanged", json{{"created_at_ts", -5}}, -5},
        TimestampCase{"FloatTruncatedTowardZero", json{{"created_at_ts", 1700000000.9}},
                      1700000000},
        TimestampCase{"NegativeFloatTruncatedTowardZero", json{{"created_at_ts", -1.5}}, -1},
        TimestampCase{"LargestSigned", json{{"created_at_ts", INT64_MAX}}, INT64_MAX},
        TimestampCase{"UnsignedTooLarge", json{{"created_at_ts", uint64_t{9223372036854775808ULL}}},
                      kFallback},
        TimestampCase{"FloatTooLarge", json{{"created_at_ts", 1e300}}, kFallback},
        TimestampCase{"FloatTwoToTheSixtyThree", json{{"created_at_ts", 9223372036854775808.0}},
                      kFallback},
        TimestampCase{"FloatMinusTwoToTheSixtyThree",
                      json{{"created_at_ts", -9223372036854775808.0}}, INT64_MIN},
        TimestampCase{"NotANumberFloat",
                      json{{"created_at_ts", std::numeric_limits<double>::quiet_NaN()}}, kFallback},
        TimestampCase{"String", json{{"created_at_ts", "1700000000"}}, kFallback},
        TimestampCase{"Null", json{{"created_at_ts", nullptr}}, kFallback},
        TimestampCase{"Boolean", json{{"created_at_ts", true}}, kFallback},
        TimestampCase{"Absent", json{{"io", json::object()}}, kFallback},
        TimestampCase{"RootArray", json::array({json{{"created_at_ts", 5}}}), kFallback},
        TimestampCase{"RootNumber", json(5), kFallback}),
    [](const auto& info) { return std::string(info.param.name); });

class CachedConfiguration : public ::testing::Test {
 protected:
  void write(const std::string& text) {
    std::ofstream out(dir_.path() / "configuration_cache.json", std::ios::binary);
    out << text;
  }
  kavrion::config_snapshot_t loadIt() { return load(dir_.dir(), "configuration_cache.json"); }
  std::string path() const { return dir_.dir() + "configuration_cache.json"; }

  TempDir dir_;
  RecordLog log_;
};

void expectInvalid(const kavrion::config_snapshot_t& snapshot) {
  EXPECT_FALSE(snapshot.valid);
  EXPECT_EQ(snapshot.content, "");
  EXPECT_EQ(snapshot.timestamp, 0);
}

TEST_F(CachedConfiguration, MissingFileGivesInvalidSnapshotNamingThePath) {
  const auto snapshot = loadIt();
  expectInvalid(snapshot);
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{{P7::kWarning, "No cached configuration at " + path()}}));
}

TEST_F(CachedConfiguration, UnreadableCacheGivesInvalidSnapshotAndSaysWhy) {
  std::filesystem::create_directory(path());  // opens, but every read fails
  expectInvalid(loadIt());
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{{P7::kError, "Failed to load cached configuration: Cannot read " +
                                                  path() + " errno: 21"}}));
}

TEST_F(CachedConfiguration, EmptyFileGivesInvalidSnapshot) {
  write("");
  expectInvalid(loadIt());
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{{P7::kWarning, "Cached configuration file is empty"}}));
}

TEST_F(CachedConfiguration, TextThatIsNotJsonIsCorrupted) {
  write("{\"io\": ");
  expectInvalid(loadIt());
  const auto errors = log_.texts(P7::kError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Corrupted cached configuration: [json.exception.parse_error.101]", 0),
            0u)
      << errors[0];
}

TEST_F(CachedConfiguration, CommentsAreNotAccepted) {
  write("/* cached */ {\"created_at_ts\": 5}");
  expectInvalid(loadIt());
  ASSERT_EQ(log_.texts(P7::kError).size(), 1u);
}

TEST_F(CachedConfiguration, ValidDocumentIsPassedOnByteForByte) {
  const std::string text = "{ \"io\": {},\n  \"created_at_ts\": 1700000000 }\n";
  write(text);
  const auto snapshot = loadIt();
  EXPECT_TRUE(snapshot.valid);
  EXPECT_EQ(snapshot.content, text);
  EXPECT_EQ(snapshot.timestamp, 1700000000);
  EXPECT_EQ(log_.records(),
            (std::vector<Record>{{P7::kInfo, "Cached configuration loaded (ts: 1700000000)"}}));
}

TEST_F(CachedConfiguration, NegativeCreationTimeIsKept) {
  write(R"({"created_at_ts":-100})");
  EXPECT_EQ(loadIt().timestamp, -100);
}

TEST_F(CachedConfiguration, DocumentsWithoutUsableCreationTimeAreStampedWithTheLoadTime) {
  for (const char* text :
       {R"({"io":{}})", R"({"created_at_ts":"1700000000"})", R"({"created_at_ts":null})",
        R"([1,2,3])", R"({"created_at_ts":1e300})"}) {
    write(text);
    const int64_t before = std::time(nullptr);
    const auto snapshot = loadIt();
    const int64_t after = std::time(nullptr);
    EXPECT_TRUE(snapshot.valid) << text;
    EXPECT_EQ(snapshot.content, text);
    EXPECT_GE(snapshot.timestamp, before) << text;
    EXPECT_LE(snapshot.timestamp, after) << text;
  }
}

}  // namespace
