// The real binary under faults met in the field: a full progress directory during a
// back-fill, a history peer that falls silent in the middle of a window, and files or links
// planted where the progress file lives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "peers/history_stand_in.h"
#include "sim_support.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Type "t" keeps the cache's time-out at 30 minutes: the back-fill tests run without devices.
constexpr const char* kOneCell = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"t","cells":["P"]}]})";
constexpr const char* kFourCells = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"t","cells":["P","U","I","F"]}]})";
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

class FieldFaultsSim : public SimSystemTest {
 protected:
  // Appends meter messages to received_ until @p done holds; false after @p timeout.
  bool awaitMeterMessages(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      if (auto message = nextMeterMessage(200ms)) received_.push_back(std::move(*message));
    }
    return true;
  }

  // How many of the received messages close each window.
  std::map<int64_t, int> windowsReceived() const {
    std::map<int64_t, int> windows;
    for (const json& message : received_) ++windows[message["timestamp"].get<int64_t>()];
    return windows;
  }

  static std::size_t countInLog(const std::string& text) {
    const std::string log = readLog();
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  // Meter messages published so far that are still on their way.
  void receiveStragglers() {
    awaitMeterMessages([] { return false; }, 2s);
  }

  // The progress document once it holds one interval (a back-fill over and saved); the last
  // document read (null when none parsed) after @p timeout.
  static json awaitSingleInterval(std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    json document;
    while (true) {
      const std::string text = readFile(kProgressFile);
      document = json::accept(text) ? json::parse(text) : json();
      const bool done = document.is_object() && document.contains("intervals") &&
                        document["intervals"].size() == 1U;
      if (done || Clock::now() >= deadline) return document;
      std::this_thread::sleep_for(100ms);
    }
  }

  std::vector<json> received_;
};

TEST_F(FieldFaultsSim, FullProgressDirectoryNeitherRepeatsNorLosesABackFilledWindow) {
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

TEST_F(FieldFaultsSim, HistoryPeerFallingSilentMidWindowPublishesTheWindowOnceAndWhole) {
  peers::HistoryStandIn history(kBrokerUri, "sim_history", peers::answer());
  history.script({peers::answer(), peers::silence(), peers::silence()});
  const int64_t a = now() - 3600;
  seedProgress({{"intervals", {{{"a", a}, {"b", a + 60}}, {{"a", now()}}}}});
  startWithConfiguration(kFourCells);

  // Each silent request runs into the 60 s reply time-out.
  const std::string postponed =
      fmt::format("wb-mqtt-db does not answer, window {}-{} postponed", a, a + 120);
  ASSERT_TRUE(waitForLog(postponed, 170s)) << readLog();
  const json done = awaitSingleInterval(30s);
  ASSERT_EQ(done["intervals"].size(), 1U) << done << readLog();
  receiveStragglers();

  ASSERT_EQ(windowsReceived(), (std::map<int64_t, int>{{a + 120, 1}})) << readLog();
  const json& data = received_.front()["io"]["m1"]["data"];
  for (const char* cell : {"P", "U", "I", "F"}) EXPECT_TRUE(data.contains(cell)) << cell << data;
  EXPECT_EQ(countInLog(postponed), 1U) << readLog();
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

class PlantedProgressPath : public FieldFaultsSim,
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
