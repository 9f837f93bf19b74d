// The real binary's progress file: where it starts, how a damaged or stale one is repaired,
// and faults of its directory met in the field: a full file system, files and links planted
// where it lives.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "simulated_controller.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kProgressDirectory = "/tmp/norvane";
constexpr const char* kFiller = "/tmp/norvane/filler";

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(fmt::format("{}: {}", what, std::strerror(errno)));
}

// Writes @p path until the file system it is on has no block left.
void fillUp(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, fmt::format("creating {}", path));
  const std::string block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  const int error = errno;
  ::close(fd);
  errno = error;
  check(error == ENOSPC, fmt::format("filling {}", path));
}

int64_t lastEnd(const std::vector<json>& messages) {
  int64_t end = 0;
  for (const json& message : messages) end = std::max(end, message["timestamp"].get<int64_t>());
  return end;
}

using ProgressFileSystem = SimulatedControllerTest;

TEST_F(ProgressFileSystem, StartsItsProgressFileAtThePresent) {
  publish(kConfigurationTopic, kOneCell, true);
  const int64_t before = std::time(nullptr);
  startService();
  // The loop starts after the 20-second head start of the availability threads.
  expectRunningAfter("Read timestamp error! Will be use current time.", 40s);
  const auto document = json::parse(readFile(kProgressFile));
  ASSERT_EQ(document["intervals"].size(), 1u) << document;
  EXPECT_GE(document["intervals"][0]["a"].get<int64_t>(), before);
  EXPECT_LE(document["intervals"][0]["a"].get<int64_t>(), std::time(nullptr));
}

TEST_F(ProgressFileSystem, RemovesItsProgressAndEndsWithStatus0PastThe48HourHorizon) {
  const int64_t now = std::time(nullptr);
  writeFile(kProgressFile,
            json{{"intervals", {{{"a", now - 172900}, {"b", 0}}, {{"a", now}}}}}.dump());
  publish(kConfigurationTopic, kOneCell, true);
  startService();
  const auto status = waitForExit(45s);
  ASSERT_TRUE(status) << readLog();
  EXPECT_EQ(*status, 0);
  EXPECT_FALSE(std::filesystem::exists(kProgressFile));
  EXPECT_EQ(readLog().find("Fatal error"), std::string::npos);
}

TEST_F(ProgressFileSystem, CorruptProgressFileIsReplacedByAFreshOne) {
  writeFile(kProgressFile, R"({"intervals":[{"a":17651)");
  const int64_t before = now();
  startWithConfiguration(kOneCell);
  ASSERT_TRUE(waitForLog("[json.exception.parse_error.101]", 40s)) << readLog();
  const json document = json::parse(readFile(kProgressFile));
  ASSERT_EQ(document["intervals"].size(), 1U) << document;
  EXPECT_GE(document["intervals"][0]["a"].get<int64_t>(), before);
  EXPECT_TRUE(serviceRunning());
}

TEST_F(ProgressFileSystem, StaleCurrentIntervalIsMovedToThePresent) {
  const int64_t stale = now() - 3 * 3600;
  seedProgress({{"intervals", {{{"a", stale}}}}});
  const int64_t before = now();
  startDevices({{"meter_1", "P"}});
  startWithConfiguration(kOneCell);
  // The gap is not caught up: the first window ends a minute after the loop began.
  const auto first = nextMeterMessage(100s);
  ASSERT_TRUE(first) << readLog();
  const int64_t end = (*first)["timestamp"].get<int64_t>();
  EXPECT_GE(end, before + 60);
  EXPECT_LE(end, now());
  EXPECT_TRUE(serviceRunning());
}

TEST_F(ProgressFileSystem, DamagedOldIntervalIsDroppedAloneAndTheOthersAreBackFilled) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer());
  const int64_t a = now() - 3600;
  seedProgress({{"intervals",
                 {{{"a", a - 600}, {"b", "soon"}}, {{"a", a}, {"b", a + 120}}, {{"a", now()}}}}});
  startWithConfiguration(kOneCell);

  const auto message = nextMeterMessageWhere([&](int64_t t) { return t < a + 3600; }, 60s);
  ASSERT_TRUE(message) << readLog();
  EXPECT_EQ((*message)["timestamp"], a + 120);
  EXPECT_NE(readLog().find("Progress interval 0 dropped: \"b\" is not a number"),
            std::string::npos)
      << readLog();
  ASSERT_TRUE(history.waitForRequests(1, 1s));
  EXPECT_EQ(requestedStart(history.requests()[0]), a) << "the damaged interval is never asked";
  // Once the good old interval is used up only the current one remains.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  json document;
  do {
    document = json::parse(readFile(kProgressFile));
  } while (document["intervals"].size() != 1U && std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(100ms), true));
  EXPECT_EQ(document["intervals"].size(), 1U) << document;
  EXPECT_FALSE(document["intervals"][0].contains("b")) << document;
}

TEST_F(ProgressFileSystem, FullProgressDirectoryNeitherRepeatsNorLosesABackFilledWindow) {
  std::filesystem::create_directories(kProgressDirectory);
  check(::mount("norvane-small", kProgressDirectory, "tmpfs", 0, "size=64k,mode=0700") == 0,
        "mounting a small tmpfs on /tmp/norvane");
  // Slow answers leave time to fill and free the directory between two windows.
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer(1500ms));
  const int64_t a = now() - 3600;
  const int64_t b = a + 1800;
  seedProgress({{"intervals", {{{"a", a}, {"b", b}}, {{"a", now()}}}}});
  startWithConfiguration(kOneCell);
  const std::string failed =
      "Save timestamp error! /tmp/norvane/timestamp: No space left on device";
  const std::string savedAgain = "Progress saved again to /tmp/norvane/timestamp";

  ASSERT_TRUE(awaitMeterMessages([&] { return received_.size() >= 2; }, 60s)) << readLog();
  fillUp(kFiller);
  ASSERT_TRUE(waitForLog(failed, 15s)) << readLog();
  // Windows go on from memory while every save fails.
  const std::size_t failing = received_.size();
  ASSERT_TRUE(awaitMeterMessages([&] { return received_.size() >= failing + 2; }, 15s))
      << readLog();
  const int64_t reached = lastEnd(received_);
  std::filesystem::remove(kFiller);
  ASSERT_TRUE(waitForLog(savedAgain, 15s)) << readLog();
  const json recovered = json::parse(readFile(kProgressFile));
  ASSERT_EQ(recovered["intervals"].size(), 2U) << recovered;
  EXPECT_GE(recovered["intervals"][0]["a"].get<int64_t>(), reached) << recovered;

  const json done = awaitSingleInterval(60s);
  receiveStragglers();
  std::map<int64_t, int> expected;
  for (int64_t start = a; start <= b; start += 120) expected[start + 120] = 1;
  EXPECT_EQ(windowsReceived(), expected) << readLog();
  EXPECT_EQ(countInLog(failed), 1U) << readLog();
  EXPECT_EQ(countInLog(savedAgain), 1U) << readLog();
  ASSERT_EQ(done["intervals"].size(), 1U) << done;
  EXPECT_FALSE(done["intervals"][0].contains("b")) << done;
  EXPECT_NEAR(static_cast<double>(done["intervals"][0]["a"].get<int64_t>()),
              static_cast<double>(now()), 180)
      << done;
  EXPECT_FALSE(std::filesystem::exists("/tmp/norvane/timestamp.tmp"));
}

struct PlantedCase {
  const char* name;
  void (*plant)();
  const char* record;
  // Must hold no file afterwards; null where the service is to write its own file.
  const char* keptEmpty;
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const PlantedCase& planted, std::ostream* out) { *out << planted.name; }

const std::string kRefused = "Progress directory /tmp/norvane/ refused: ";

const PlantedCase kPlantedCases[] = {
    {"FifoAsTheProgressFile",
     [] {
       check(::mkdir(kProgressDirectory, 0700) == 0, "mkdir");
       check(::mkfifo(kProgressFile, 0600) == 0, "mkfifo");
     },
     "Progress file /tmp/norvane/timestamp is not a regular file", nullptr},
    {"DirectoryIsALink",
     [] {
       check(::mkdir("/tmp/elsewhere", 0700) == 0, "mkdir");
       check(::symlink("/tmp/elsewhere", kProgressDirectory) == 0, "symlink");
     },
     "it is a symbolic link", "/tmp/elsewhere"},
    {"DirectoryOfAnotherUser",
     [] {
       check(::mkdir(kProgressDirectory, 0700) == 0, "mkdir");
       check(::chown(kProgressDirectory, 65534, 65534) == 0, "chown");
       check(::chmod(kProgressDirectory, 0777) == 0, "chmod");
     },
     "it is owned by uid 65534", kProgressDirectory},
    {"DirectoryWritableByGroup",
     [] {
       check(::mkdir(kProgressDirectory, 0700) == 0, "mkdir");
       check(::chmod(kProgressDirectory, 0770) == 0, "chmod");
     },
     "it is writable by group or others (mode 0770)", kProgressDirectory},
};

class PlantedProgressPath : public SimulatedControllerTest,
                            public ::testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedProgressPath, IsRecordedOnceNeverHangsAndNothingIsWrittenThrough) {
  const PlantedCase& planted = GetParam();
  planted.plant();
  const std::string record = planted.keptEmpty == nullptr
                                 ? std::string(planted.record)
                                 : kRefused + planted.record + ". Progress is kept in memory";
  startDevices({{"meter_1", "P"}});
  startWithConfiguration(kOneCell);

  const auto live = nextMeterMessage(100s);
  ASSERT_TRUE(live) << readLog() << serviceOutput();
  EXPECT_TRUE((*live)["io"]["m1"]["data"].contains("P")) << *live;
  EXPECT_TRUE(serviceRunning()) << serviceOutput();
  EXPECT_EQ(countInLog(record), 1U) << readLog();
  if (planted.keptEmpty != nullptr) {
    EXPECT_TRUE(std::filesystem::is_empty(planted.keptEmpty)) << planted.keptEmpty;
  } else {
    const json document = awaitSingleInterval(5s);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(kProgressFile)));
    ASSERT_EQ(document["intervals"].size(), 1U) << document;
    EXPECT_TRUE(document["intervals"][0]["a"].is_number_integer()) << document;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedProgressPath, ::testing::ValuesIn(kPlantedCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace norvane::sim
