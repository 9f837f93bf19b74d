// Tests of the process-wide logger: option string, verbosity, stderr, captures, threads.
#include "p7_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "test_broker.h"

namespace P7 {
namespace {

namespace fs = std::filesystem;
using norvane::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<fs::path> logFiles(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> linesOf(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> allLines(const fs::path& dir) {
  std::vector<std::string> lines;
  for (const fs::path& file : logFiles(dir)) {
    for (std::string& line : linesOf(file)) lines.push_back(std::move(line));
  }
  return lines;
}

// Descriptor 2 replaced, while the object lives, by a pipe that is read only on drain().
struct StderrPipe {
  StderrPipe() {
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);  // the reading end only: a writer may block
    ::dup2(ends[1], STDERR_FILENO);
  }
  ~StderrPipe() {
    ::dup2(saved, STDERR_FILENO);
    for (int fd : {saved, ends[0], ends[1]}) ::close(fd);
  }
  std::string drain() const {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }
  int saved = ::dup(STDERR_FILENO);
  int ends[2] = {-1, -1};
};

class LoggerTest : public ::testing::Test {
 protected:
  TraceObject* init(const std::string& extra) {
    return LoggerInit(MainTrace, "/P7.Sink=FileTxt /P7.Dir=" + dir().string() + " " + extra);
  }
  fs::path dir() const { return temp_.path() / "p7"; }
  void TearDown() override { LoggerInit(MainTrace, "/P7.Sink=Null"); }

  TempDir temp_;
};

TEST_F(LoggerTest, WritesTheRecordIntoAFileUnderTheInvocationNamedDirectory) {
  const fs::path invoked = temp_.path() / "p7" / "./usr/bin/norvane";
  TraceObject* trace = LoggerInit(
      MainTrace, "/P7.Sink=FileTxt /P7.Dir=" + invoked.string() +
                     " /P7.Roll=24hr /P7.Files=3 /P7.FSize=10 /P7.Trc.Verb=2");
  ASSERT_EQ(trace, getTrace());
  NV_TRACE(trace, kInfo, "Version %s", "1.2.3");
  auto files = logFiles(temp_.path() / "p7/usr/bin/norvane");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_THAT(files[0].filename().string(),
              ::testing::MatchesRegex("norvane_[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}\\.log"));
  auto lines = linesOf(files[0]);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} "
                           "INFO     \\[[0-9]+\\] p7_trace_test\\.cpp:[0-9]+ TestBody: "
                           "Version 1\\.2\\.3")))
      << lines[0];
}

TEST_F(LoggerTest, DropsRecordsBelowTheVerbosity) {
  std::vector<int> captured;
  RecordCapture capture([&](int level, const std::string&) { captured.push_back(level); });
  TraceObject* trace = init("/P7.Trc.Verb=2");
  NV_TRACE(trace, kTrace, "trace %d", 0);
  NV_TRACE(trace, kDebug, "debug %d", 1);
  NV_TRACE(trace, kInfo, "info %d", 2);
  NV_TRACE(trace, kError, "error %d", 4);
  EXPECT_EQ(captured, (std::vector<int>{kInfo, kError}));
  auto lines = allLines(dir());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("info 2"));
  EXPECT_THAT(lines[1], HasSubstr("error 4"));
}

TEST_F(LoggerTest, WarningsAndAboveAlsoGoToStderr) {
  TraceObject* trace = init("");
  ::testing::internal::CaptureStderr();
  NV_TRACE(trace, kInfo, "%s", "quiet info");
  NV_TRACE(trace, kWarning, "%s", "loud warning");
  NV_TRACE(trace, kCritical, "%s", "loud critical");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, Not(HasSubstr("quiet info")));
  EXPECT_THAT(err, HasSubstr("WARNING  ["));
  EXPECT_THAT(err, HasSubstr("loud warning\n"));
  EXPECT_THAT(err, HasSubstr("loud critical\n"));
  EXPECT_EQ(allLines(dir()).size(), 3u);
}

TEST_F(LoggerTest, KeepsRussianTextAndTabsInTheFile) {
  TraceObject* trace = init("");
  NV_TRACE(trace, kInfo, "Ошибка связи:\t%s", "счётчик 1");
  auto lines = allLines(dir());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with("TestBody: Ошибка связи:\tсчётчик 1")) << lines[0];
}

TEST_F(LoggerTest, RollsBySizeAndKeepsTheFileCount) {
  TraceObject* trace = init("/P7.FSize=0.001 /P7.Files=3");  // 1049 bytes
  for (int i = 0; i < 200; ++i) NV_TRACE(trace, kInfo, "record %03d of the size test", i);
  auto files = logFiles(dir());
  ASSERT_EQ(files.size(), 3u);
  for (const fs::path& file : files) EXPECT_LE(fs::file_size(file), 1049u) << file;
  auto lines = allLines(dir());
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines.back(), HasSubstr("record 199 of the size test"));
}

TEST_F(LoggerTest, ConcurrentWritersNeverInterleaveLines) {
  TraceObject* trace = init("/P7.FSize=0.05 /P7.Files=1000");
  constexpr int kThreads = 8;
  constexpr int kRecords = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([trace, t] {
      for (int i = 0; i < kRecords; ++i) NV_TRACE(trace, kInfo, "writer %d record %d end", t, i);
    });
  }
  for (auto& thread : threads) thread.join();

  const std::regex pattern(".* INFO     \\[[0-9]+\\] p7_trace_test\\.cpp:[0-9]+ operator\\(\\): "
                           "writer ([0-9]) record ([0-9]+) end");
  std::set<std::pair<int, int>> seen;
  for (const std::string& line : allLines(dir())) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
    seen.emplace(std::stoi(match[1]), std::stoi(match[2]));
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRecords));
  EXPECT_EQ(allLines(dir()).size(), static_cast<size_t>(kThreads * kRecords));
}

TEST_F(LoggerTest, AFullStderrDropsLinesThereWithoutWaitingAndCountsThemOnceItTakesLines) {
  TraceObject* trace = init("");
  StderrPipe stderrPipe;
  constexpr int kRecords = 2000;  // per thread; a pipe holds a few hundred such lines
  auto writers = std::async(std::launch::async, [trace] {
    auto write = [trace](int t) {
      for (int i = 0; i < kRecords; ++i) NV_TRACE(trace, kWarning, "writer %d record %d", t, i);
    };
    std::thread other(write, 1);
    write(0);
    other.join();
  });
  const bool returned = writers.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  while (writers.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    stderrPipe.drain();  // frees writers that wait, so that the test fails instead of hanging
  }
  ASSERT_TRUE(returned) << "records waited for a stderr that nobody reads";
  EXPECT_EQ(allLines(dir()).size(), 2u * kRecords);

  const std::string shown = stderrPipe.drain();
  const long dropped = 2L * kRecords - std::count(shown.begin(), shown.end(), '\n');
  NV_TRACE(trace, kWarning, "%s", "stderr drained");
  const std::string next = stderrPipe.drain();
  EXPECT_TRUE(std::regex_match(
      next, std::regex("p7: " + std::to_string(dropped) +
                       " records not written to stderr \\(stderr was full\\); they are in the "
                       "log file\n.* WARNING  \\[[0-9]+\\] p7_trace_test\\.cpp:[0-9]+ "
                       "TestBody: stderr drained\n")))
      << next;
}

TEST_F(LoggerTest, UncreatableDirectoryIsReportedOnStderrAndRecordsGoThere) {
  std::ofstream(temp_.path() / "p7") << "a file standing in the way\n";
  ::testing::internal::CaptureStderr();
  TraceObject* trace = init("");
  NV_TRACE(trace, kInfo, "%s", "still seen");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("p7: cannot create log directory \"" + dir().string() +
                             "\": Not a directory [errno 20]\n"));
  EXPECT_THAT(err, HasSubstr("still seen\n"));
}

TEST_F(LoggerTest, EveryLivingCaptureSeesEveryRecordUntilItEnds) {
  init("");
  std::vector<std::string> first;
  std::vector<std::string> second;
  {
    RecordCapture a([&](int, const std::string& text) { first.push_back(text); });
    NV_TRACE(getTrace(), kInfo, "one %d", 1);
    {
      RecordCapture b([&](int, const std::string& text) { second.push_back(text); });
      NV_TRACE(getTrace(), kWarning, "two %s", "2");
    }
    NV_TRACE(getTrace(), kInfo, "three");
  }
  NV_TRACE(getTrace(), kInfo, "four");
  EXPECT_EQ(first, (std::vector<std::string>{"one 1", "two 2", "three"}));
  EXPECT_EQ(second, std::vector<std::string>{"two 2"});
}

TEST_F(LoggerTest, LongRecordsAreWrittenWhole) {
  TraceObject* trace = init("");
  const std::string big(5000, 'z');
  NV_TRACE(trace, kInfo, "<%s>", big.c_str());
  auto lines = allLines(dir());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with("<" + big + ">"));
}

TEST(LoggerBeforeInit, RecordsGoToStderr) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no LoggerInit yet
  EXPECT_EXIT(
      {
        NV_TRACE(getTrace(), kInfo, "early %s", "record");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "INFO     \\[[0-9]+\\] p7_trace_test\\.cpp:[0-9]+ .*: early record");
}

}  // namespace
}  // namespace P7
