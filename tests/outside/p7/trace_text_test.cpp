// Tests of the log line text and of the option string.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

#include "p7_trace.h"
#include "trace_line.h"
#include "trace_options.h"

namespace P7 {
namespace {

using namespace std::chrono_literals;

// 2025-12-08 00:00:00 UTC
constexpr std::chrono::sys_seconds kMidnight{std::chrono::seconds(1765152000)};

TEST(TraceLine, HoldsTimeLevelThreadPositionFunctionAndMessage) {
  EXPECT_EQ(formatTraceLine(kMidnight + 123ms, 2, 4711, "/work/src/services/norvane/main.cpp",
                            42, "main", "Version 1.0"),
            "2025-12-08 00:00:00.123 INFO     [4711] main.cpp:42 main: Version 1.0\n");
}

TEST(TraceLine, PadsMillisecondsAndNamesEveryLevel) {
  EXPECT_EQ(formatTraceLine(kMidnight + 7ms, 5, 1, "a.cpp", 1, "f", "x"),
            "2025-12-08 00:00:00.007 CRITICAL [1] a.cpp:1 f: x\n");
  EXPECT_EQ(levelName(0), "TRACE");
  EXPECT_EQ(levelName(1), "DEBUG");
  EXPECT_EQ(levelName(3), "WARNING");
  EXPECT_EQ(levelName(4), "ERROR");
  EXPECT_EQ(levelName(9), "LEVEL9");
  EXPECT_EQ(levelName(-1), "LEVEL-1");
}

TEST(TraceLine, KeepsRussianTextAndTabsAsGiven) {
  const std::string message = "Нет данных\tот устройства";
  EXPECT_EQ(formatTraceLine(kMidnight, 3, 1, "a.cpp", 1, "f", message),
            "2025-12-08 00:00:00.000 WARNING  [1] a.cpp:1 f: Нет данных\tот устройства\n");
}

TEST(TraceLine, EscapesLineBreaksSoARecordStaysOneLine) {
  EXPECT_EQ(formatTraceLine(kMidnight, 2, 1, "a.cpp", 1, "f", std::string("a\nb\r\x01\x7f", 6)),
            "2025-12-08 00:00:00.000 INFO     [1] a.cpp:1 f: a\\nb\\r\\x01\\x7f\n");
}

TEST(Excerpt, QuotesAtMostTheBoundAndNeverSplitsACharacter) {
  const std::string bound(kQuoteBytes, 'a');
  const std::string a199 = bound.substr(1), a198 = bound.substr(2), a197 = bound.substr(3);
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {bound, bound},
      {bound + "b", bound + "… (201 bytes)"},
      {a198 + "é!", a198 + "é… (201 bytes)"},  // a character that ends at the cut
      {a199 + "é!", a199 + "… (202 bytes)"},    // one across the cut
      {a197 + "😀!", a197 + "… (202 bytes)"},   // the longest across the cut
      {std::string(300, '\x80'), std::string(197, '\x80') + "… (300 bytes)"},  // not UTF-8
      {std::string(30U << 20U, 'a'), bound + "… (31457280 bytes)"},
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(excerpt(text), quoted);
}

TEST(TraceOptions, ReadsTheServiceOptionString) {
  TraceOptions options = parseTraceOptions(
      "/P7.Sink=FileTxt /P7.Dir=/var/log/p7//usr/bin/norvane /P7.Roll=24hr /P7.Files=3 "
      "/P7.FSize=10 /P7.Trc.Verb=2");
  EXPECT_EQ(options.sink, SinkKind::kFileTxt);
  EXPECT_EQ(options.dir, "/var/log/p7//usr/bin/norvane");
  EXPECT_EQ(options.rollPeriod, 24h);
  EXPECT_EQ(options.maxFiles, 3u);
  EXPECT_EQ(options.maxFileBytes, 10u * 1024 * 1024);
  EXPECT_EQ(options.verbosity, 2);
}

TEST(TraceOptions, DirectoryMayHoldBlanks) {
  TraceOptions options = parseTraceOptions("/P7.Dir=/var/log/p7/./my tool /P7.Files=2");
  EXPECT_EQ(options.dir, "/var/log/p7/./my tool");
  EXPECT_EQ(options.maxFiles, 2u);
}

TEST(TraceOptions, FractionalFileSizeIsRoundedUpToBytes) {
  EXPECT_EQ(parseTraceOptions("/P7.FSize=0.001").maxFileBytes, 1049u);
  EXPECT_EQ(parseTraceOptions("/P7.FSize=1.5").maxFileBytes, 1572864u);
  EXPECT_EQ(parseTraceOptions("/P7.FSize=.5").maxFileBytes, 524288u);
  EXPECT_EQ(parseTraceOptions("/P7.FSize=2.").maxFileBytes, 2097152u);
  EXPECT_EQ(parseTraceOptions("/P7.FSize=0.000000000001").maxFileBytes, 1u);
  EXPECT_EQ(parseTraceOptions("/P7.FSize=1048576").maxFileBytes, 1099511627776u);
}

TEST(TraceOptions, UnknownOptionsAndMalformedValuesKeepTheDefaults) {
  const TraceOptions defaults;
  for (const char* text :
       {"", "/P7.Pool=64", "/P7.Sink=Baical", "/P7.FSize=abc", "/P7.FSize=-1", "/P7.FSize=0",
        "/P7.FSize=nan", "/P7.FSize=1e3", "/P7.FSize=.", "/P7.FSize=0.000",
        "/P7.FSize=1.2.3", "/P7.FSize=+1", "/P7.FSize=0.0000000000001", "/P7.FSize=1048576.5", "/P7.Files=-1", "/P7.Files=3x", "/P7.Trc.Verb=6", "/P7.Trc.Verb=-1",
        "/P7.Roll=24", "/P7.Roll=0hr", "/P7.Roll=10mb", "/P7.Dir=", "P7.Files=3", "x/P7.Files=3",
        "/P7.Files"}) {
    SCOPED_TRACE(text);
    TraceOptions options = parseTraceOptions(text);
    EXPECT_EQ(options.sink, defaults.sink);
    EXPECT_EQ(options.dir, defaults.dir);
    EXPECT_EQ(options.rollPeriod, defaults.rollPeriod);
    EXPECT_EQ(options.maxFileBytes, defaults.maxFileBytes);
    EXPECT_EQ(options.maxFiles, defaults.maxFiles);
    EXPECT_EQ(options.verbosity, defaults.verbosity);
  }
}

}  // namespace
}  // namespace P7
