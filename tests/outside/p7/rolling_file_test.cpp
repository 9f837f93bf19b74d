// Tests of the rolling log file: roll by age and size, file count, restarts, bad directories.
#include "rolling_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "test_broker.h"

namespace P7 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using norvane::testing::TempDir;

// 2025-12-08 00:00:00 UTC
const std::chrono::system_clock::time_point kMidnight{std::chrono::seconds(1765152000)};

class RollingFileTest : public ::testing::Test {
 protected:
  RollingFile::Clock clock() {
    return [this] { return now_; };
  }
  RollingFile::Complaint complaint() {
    return [this](const std::string& text) { complaints_.push_back(text); };
  }
  RollingFileSettings settings(uint64_t maxBytes, unsigned maxFiles, std::chrono::seconds period) {
    return RollingFileSettings{temp_.path() / "logs", "norvane", maxBytes, maxFiles, period};
  }
  std::vector<std::string> fileNames() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(temp_.path() / "logs")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string contents(const std::string& name) const {
    std::ifstream in(temp_.path() / "logs" / name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  TempDir temp_;
  std::chrono::system_clock::time_point now_ = kMidnight;
  std::vector<std::string> complaints_;
};

TEST_F(RollingFileTest, OpensANewFileOnlyWhenTheRollPeriodHasPassed) {
  RollingFile file(settings(0, 0, 24h), clock(), complaint());
  ASSERT_TRUE(file.write("one\n"));
  now_ = kMidnight + 24h - 1s;
  ASSERT_TRUE(file.write("two\n"));
  now_ = kMidnight + 24h;
  ASSERT_TRUE(file.write("three\n"));
  EXPECT_EQ(fileNames(), (std::vector<std::string>{"norvane_2025-12-08_00-00-00.log",
                                                   "norvane_2025-12-09_00-00-00.log"}));
  EXPECT_EQ(contents("norvane_2025-12-08_00-00-00.log"), "one\ntwo\n");
  EXPECT_EQ(contents("norvane_2025-12-09_00-00-00.log"), "three\n");
  EXPECT_TRUE(complaints_.empty());
}

TEST_F(RollingFileTest, StartsANewFileBeforeALineWouldPassTheSizeLimit) {
  RollingFile file(settings(10, 0, 0s), clock(), complaint());
  for (const char* line : {"aaaa\n", "bbbb\n", "cccc\n"}) {
    ASSERT_TRUE(file.write(line));
    now_ += 1s;
  }
  ASSERT_TRUE(file.write("a line longer than the limit\n"));  // a new file, written whole
  EXPECT_EQ(fileNames(), (std::vector<std::string>{"norvane_2025-12-08_00-00-00.log",
                                                   "norvane_2025-12-08_00-00-02.log",
                                                   "norvane_2025-12-08_00-00-03.log"}));
  EXPECT_EQ(contents("norvane_2025-12-08_00-00-00.log"), "aaaa\nbbbb\n");
  EXPECT_EQ(contents("norvane_2025-12-08_00-00-02.log"), "cccc\n");
  EXPECT_EQ(contents("norvane_2025-12-08_00-00-03.log"), "a line longer than the limit\n");
}

TEST_F(RollingFileTest, KeepsOnlyTheNewestFiles) {
  RollingFile file(settings(0, 3, 1h), clock(), complaint());
  for (int hour = 0; hour < 5; ++hour) {
    now_ = kMidnight + std::chrono::hours(hour);
    ASSERT_TRUE(file.write("x\n"));
  }
  EXPECT_EQ(fileNames(), (std::vector<std::string>{"norvane_2025-12-08_02-00-00.log",
                                                   "norvane_2025-12-08_03-00-00.log",
                                                   "norvane_2025-12-08_04-00-00.log"}));
}

TEST_F(RollingFileTest, FilesStartedWithinOneSecondAreNumberedAndPrunedInOrder) {
  RollingFile file(settings(2, 2, 0s), clock(), complaint());
  for (const char* line : {"0\n", "1\n", "2\n", "3\n"}) ASSERT_TRUE(file.write(line));
  EXPECT_EQ(fileNames(), (std::vector<std::string>{"norvane_2025-12-08_00-00-00_002.log",
                                                   "norvane_2025-12-08_00-00-00_003.log"}));
  EXPECT_EQ(contents("norvane_2025-12-08_00-00-00_003.log"), "3\n");
}

TEST_F(RollingFileTest, LeavesFilesThatAreNotItsOwnAlone) {
  fs::create_directories(temp_.path() / "logs");
  for (const char* name : {"other_2025-12-01_00-00-00.log", "norvane.txt",
                           "norvane_2025-12-01_00-00-00.log.gz", "norvane_notastamp.log"}) {
    std::ofstream(temp_.path() / "logs" / name) << "keep\n";
  }
  RollingFile file(settings(0, 1, 0s), clock(), complaint());
  ASSERT_TRUE(file.write("x\n"));
  EXPECT_EQ(fileNames().size(), 5u);
}

TEST_F(RollingFileTest, RestartGoesOnWithTheNewestFileWhileItIsYoungAndSmall) {
  {
    RollingFile first(settings(100, 3, 24h), clock(), complaint());
    ASSERT_TRUE(first.write("before restart\n"));
  }
  now_ += 1h;
  {
    RollingFile second(settings(100, 3, 24h), clock(), complaint());
    ASSERT_TRUE(second.write("after restart\n"));
  }
  EXPECT_EQ(fileNames(), std::vector<std::string>{"norvane_2025-12-08_00-00-00.log"});
  EXPECT_EQ(contents("norvane_2025-12-08_00-00-00.log"), "before restart\nafter restart\n");

  now_ = kMidnight + 24h;
  RollingFile third(settings(100, 3, 24h), clock(), complaint());
  ASSERT_TRUE(third.write("next day\n"));
  EXPECT_EQ(fileNames().size(), 2u);
  EXPECT_EQ(contents("norvane_2025-12-09_00-00-00.log"), "next day\n");
}

TEST_F(RollingFileTest, ClockSetBackNeverRemovesTheFileBeingWritten) {
  RollingFile file(settings(4, 1, 0s), clock(), complaint());
  ASSERT_TRUE(file.write("new\n"));
  now_ = kMidnight - 240h;  // the controller corrected its clock
  ASSERT_TRUE(file.write("old\n"));
  EXPECT_EQ(file.currentPath().filename(), "norvane_2025-11-28_00-00-00.log");
  EXPECT_EQ(fileNames(), std::vector<std::string>{"norvane_2025-11-28_00-00-00.log"});
  EXPECT_EQ(contents("norvane_2025-11-28_00-00-00.log"), "old\n");
}

TEST_F(RollingFileTest, CreatesTheWholeDirectoryChain) {
  RollingFile file(RollingFileSettings{temp_.path() / "var/log/p7/" / "./usr/bin/norvane",
                                       "norvane", 0, 0, 0s},
                   clock(), complaint());
  ASSERT_TRUE(file.open());
  EXPECT_TRUE(fs::is_regular_file(temp_.path() /
                                  "var/log/p7/usr/bin/norvane/norvane_2025-12-08_00-00-00.log"));
}

TEST_F(RollingFileTest, UncreatableDirectoryIsReportedAtMostOnceAMinute) {
  std::ofstream(temp_.path() / "blocker") << "a file where a directory should be\n";
  const fs::path dir = temp_.path() / "blocker" / "logs";
  RollingFile file(RollingFileSettings{dir, "norvane", 0, 0, 0s}, clock(), complaint());
  EXPECT_FALSE(file.write("lost\n"));
  now_ += 59s;
  EXPECT_FALSE(file.write("lost\n"));
  ASSERT_EQ(complaints_.size(), 1u);
  EXPECT_EQ(complaints_[0], "cannot create log directory \"" + dir.string() +
                                "\": Not a directory [errno 20]");
  now_ += 1s;
  EXPECT_FALSE(file.write("lost\n"));
  EXPECT_EQ(complaints_.size(), 2u);
  EXPECT_TRUE(file.currentPath().empty());
}

TEST_F(RollingFileTest, WritesAgainOnceTheDirectoryCanBeCreated) {
  std::ofstream(temp_.path() / "logs") << "in the way\n";
  RollingFile file(settings(0, 0, 0s), clock(), complaint());
  EXPECT_FALSE(file.write("lost\n"));
  fs::remove(temp_.path() / "logs");
  EXPECT_TRUE(file.write("kept\n"));
  EXPECT_EQ(contents("norvane_2025-12-08_00-00-00.log"), "kept\n");
}

}  // namespace
}  // namespace P7
