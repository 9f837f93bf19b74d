// The collection loop's interval arithmetic, waits and exits, on a simulated clock.
#include "collection_loop.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "exit_trap.h"
#include "history_client.h"
#include "record_log.h"
#include "test_broker.h"

namespace {

using nlohmann::json;
using norvane::StepOutcome;
using norvane::testing::ExitTrap;
using norvane::testing::Record;
using norvane::testing::RecordLog;
using norvane::testing::ServiceExit;
using norvane::testing::TempDir;
using std::chrono::milliseconds;

constexpr int64_t kNow = 1700000000;

struct StepCall {
  int64_t start;
  int64_t end;
  bool current;
  int64_t at;  // the clock when the step began
  bool lastAttempt = false;
  bool operator==(const StepCall&) const = default;
};

void PrintTo(const StepCall& call, std::ostream* out) {
  *out << "{" << call.start << ", " << call.end << ", " << (call.current ? "current" : "old")
       << ", at " << call.at << (call.lastAttempt ? ", last attempt" : "") << "}";
}

class CollectionLoop : public ::testing::Test {
 protected:
  CollectionLoop() {
    loop_.progress = {dir_.dir(), "timestamp"};
    loop_.now = [this] { return nowMs_ / 1000; };
    loop_.sleep = [this](milliseconds pause) {
      // A loop that never stops waiting fails instead of hanging.
      if (sleeps_.size() > 1000000) throw std::logic_error("the loop waits for ever");
      sleeps_.push_back(pause);
      nowMs_ += pause.count();
    };
    loop_.step = [this](norvane::Window window, bool current, const norvane::StepOptions& options) {
      steps_.push_back({window.first, window.second, current, nowMs_ / 1000, options.lastAttempt});
      if (!current) waitForHistory(options);
      nowMs_ += stepMs_;
      if (current) return StepOutcome::kDone;
      if (outcomes_.empty()) return outcome_;
      const StepOutcome outcome = outcomes_.front();
      outcomes_.pop_front();
      return outcome;
    };
  }

  // wb-mqtt-db takes historyMs_ to answer an old step; the step lets the loop step the live
  // windows that fall due meanwhile, once a second, as the real one does.
  void waitForHistory(const norvane::StepOptions& options) {
    for (int64_t waited = 0; waited < historyMs_; waited += 1000) {
      options.whileWaiting();
      nowMs_ += std::min<int64_t>(1000, historyMs_ - waited);
    }
  }
  // Passes until the clock reaches @p untilMs.
  void passUntil(int64_t untilMs) {
    while (nowMs_ < untilMs) pass();
  }
  std::vector<StepCall> stepsOf(bool current) const {
    std::vector<StepCall> found;
    for (const StepCall& call : steps_) {
      if (call.current == current) found.push_back(call);
    }
    return found;
  }
  // Live windows follow each other without a gap, none moved, each stepped within
  // @p lateSeconds of its end.
  void expectLiveWindowsOnTime(int64_t firstStart, int64_t lateSeconds) const {
    int64_t start = firstStart;
    for (const StepCall& call : stepsOf(true)) {
      EXPECT_EQ(call.start, start);
      EXPECT_LE(call.at - call.end, lateSeconds) << ::testing::PrintToString(call);
      start = call.end;
    }
  }

  void seed(const std::string& text) {
    std::ofstream(dir_.path() / "timestamp", std::ios::binary) << text;
  }
  json saved() const {
    std::ifstream in(dir_.path() / "timestamp", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return json::parse(text.str());
  }
  void pass() { norvane::runPass(loop_); }

  TempDir dir_;
  norvane::CollectionLoop loop_;
  int64_t nowMs_ = kNow * 1000;
  int64_t stepMs_ = 0;
  int64_t historyMs_ = 0;
  StepOutcome outcome_ = StepOutcome::kDone;
  std::deque<StepOutcome> outcomes_;  // of the next old steps, before outcome_ again
  std::vector<StepCall> steps_;
  std::vector<milliseconds> sleeps_;
  RecordLog log_;
  ExitTrap exitTrap_;
};

TEST_F(CollectionLoop, SingleIntervalWaitsForItsMinuteToCloseThenStepsIt) {
  seed(R"({"intervals":[{"a":1699999990}]})");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{kNow - 10, kNow + 50, true, kNow + 50}}));
  EXPECT_EQ(sleeps_, std::vector<milliseconds>(500, milliseconds(100)));
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1700000050}]})"));
  EXPECT_EQ(log_.records(), (std::vector<Record>{{P7::kInfo, "Busy time:0 (current time)"}}));
}

TEST_F(CollectionLoop, BusyTimeIsTheStepsDurationInWholeSeconds) {
  seed(R"({"intervals":[{"a":1699999900}]})");
  stepMs_ = 7900;
  pass();
  EXPECT_EQ(log_.texts(P7::kInfo), (std::vector<std::string>{"Busy time:7 (current time)"}));
}

TEST_F(CollectionLoop, SingleIntervalWithAnEndIsSteppedLikeTheCurrentOneAndNeverErased) {
  seed(R"({"intervals":[{"a":1699990000,"b":1699990030}]})");
  pass();
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1699990000, 1699990060, true, kNow},
                                           {1699990060, 1699990120, true, kNow}}));
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1699990120,"b":1699990030}]})"));
  EXPECT_TRUE(sleeps_.empty());
}

TEST_F(CollectionLoop, CurrentIntervalAmongSeveralIsSteppedOnlyOnceMoreThan120SecondsBehind) {
  seed(R"({"intervals":[{"a":1699000000,"b":1699100000},{"a":1699999880}]})");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1699000000, 1699000120, false, kNow}}));

  steps_.clear();
  nowMs_ += 1000;
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{kNow - 120, kNow, true, kNow + 1},
                                           {1699000120, 1699000240, false, kNow + 1}}));
  EXPECT_EQ(saved()["intervals"],
            json::parse(R"([{"a":1699000240,"b":1699100000},{"a":1700000000}])"));
  EXPECT_EQ(log_.texts(P7::kInfo),
            (std::vector<std::string>{"Busy time:0 (old time)", "Busy time:0 (current time)",
                                      "Busy time:0 (old time)"}));
}

TEST_F(CollectionLoop, OldIntervalIsSteppedIn120SecondWindowsUntilItsStartPassesItsEnd) {
  const int64_t a = 1690000000;
  seed(json{{"intervals", {{{"a", a}, {"b", a + 240}}, {{"a", kNow}}}}}.dump());
  pass();
  pass();
  EXPECT_EQ(saved()["intervals"].size(), 2u);
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{a, a + 120, false, kNow},
                                           {a + 120, a + 240, false, kNow},
                                           {a + 240, a + 360, false, kNow}}));
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1700000000}]})"));
  // The erasing step leaves no record of its own.
  EXPECT_EQ(log_.texts(P7::kInfo),
            (std::vector<std::string>{"Busy time:0 (old time)", "Busy time:0 (old time)"}));
}

TEST_F(CollectionLoop, ShortOldIntervalGetsOneFullWindowAndIsErasedInTheSamePass) {
  seed(R"({"intervals":[{"a":1690000000,"b":1690000030},{"a":1700000000}]})");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1690000000, 1690000120, false, kNow}}));
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1700000000}]})"));
}

TEST_F(CollectionLoop, ErasedIntervalEndsTheWalkOfThePass) {
  seed(R"({"intervals":[{"a":1680000000,"b":1680001000},{"a":1690000000,"b":1690000030},)"
       R"({"a":1700000000}]})");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1690000000, 1690000120, false, kNow}}));
  EXPECT_EQ(saved()["intervals"],
            json::parse(R"([{"a":1680000000,"b":1680001000},{"a":1700000000}])"));
  EXPECT_TRUE(sleeps_.empty());
}

TEST_F(CollectionLoop, PostponedOldWindowIsKeptAndOldIntervalsRestAMinute) {
  outcome_ = StepOutcome::kPostponed;
  const std::string text =
      R"({"intervals":[{"a":1680000000,"b":1680001000},{"a":1690000000,"b":1690000030},)"
      R"({"a":1700000000}]})";
  seed(text);
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1690000000, 1690000120, false, kNow}}));
  EXPECT_EQ(saved(), json::parse(text));
  EXPECT_EQ(sleeps_, std::vector<milliseconds>(600, norvane::kPollInterval));
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(CollectionLoop, LiveWindowIsSteppedBeforeOldOnesWhereverItsIntervalStands) {
  outcome_ = StepOutcome::kPostponed;
  seed(R"({"intervals":[{"a":1699999870},{"a":1690000000,"b":1690000600}]})");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{kNow - 130, kNow - 10, true, kNow},
                                           {1690000000, 1690000120, false, kNow}}));
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1699999990},)"
                                 R"({"a":1690000000,"b":1690000600}]})"));
}

TEST_F(CollectionLoop, DeadLoggerForADayNeitherDelaysNorMovesLiveWindowsAndIsAskedAtABackedOffPace) {
  seed(json{{"intervals", {{{"a", kNow - 86400}, {"b", kNow - 3600}}, {{"a", kNow}}}}}.dump());
  outcome_ = StepOutcome::kPostponed;
  historyMs_ = 120000;  // two requests, each running into its 60-s timeout
  passUntil((kNow + 86400) * 1000);
  expectLiveWindowsOnTime(kNow, 2);
  EXPECT_GE(stepsOf(true).size(), 719u);
  const auto old = stepsOf(false);
  ASSERT_GT(old.size(), 40u);
  for (size_t i = 1; i < old.size(); ++i) {
    const int64_t rest = std::min<int64_t>(int64_t{60} << std::min<size_t>(i - 1, 5), 1800);
    EXPECT_NEAR(old[i].at - old[i - 1].at, 120 + rest, 1) << i;
    EXPECT_EQ(old[i].start, kNow - 86400);
  }
}

TEST_F(CollectionLoop, FortyOldIntervalsAndASlowLoggerLeaveNoLiveWindowLateNorLost) {
  json intervals = json::array();
  for (int i = 0; i < 40; ++i) {
    intervals.push_back({{"a", kNow - 86400 + i * 1000}, {"b", kNow - 86400 + i * 1000 + 360}});
  }
  intervals.push_back({{"a", kNow}});
  seed(json{{"intervals", intervals}}.dump());
  historyMs_ = 5000;  // two cells, 2.5 s each
  passUntil((kNow + 3600) * 1000);
  expectLiveWindowsOnTime(kNow, 2);
  EXPECT_EQ(stepsOf(false).size(), 160u) << "four windows of each old interval";
  EXPECT_EQ(saved()["intervals"].size(), 1u);
}

TEST_F(CollectionLoop, CurrentIntervalBehindWhenTheLastOldOneIsUsedUpIsSteppedNotMoved) {
  seed(R"({"intervals":[{"a":1690000000,"b":1690000060},{"a":1699999881}]})");
  historyMs_ = 1000;
  stepMs_ = 1500;  // the reply is stored and the message published after the last wait
  passUntil((kNow + 10) * 1000);
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1690000000, 1690000120, false, kNow},
                                           {kNow - 119, kNow + 1, true, kNow + 2},
                                           {kNow + 1, kNow + 61, true, kNow + 61}}));
}

TEST_F(CollectionLoop, WindowPostponedThreeTimesWhileAnsweredGetsALastAttempt) {
  using O = StepOutcome;
  const struct {
    std::deque<StepOutcome> outcomes;
    std::vector<int64_t> startedAt;  // seconds after the first try
    std::vector<bool> lastAttempt;
  } cases[] = {
      {{O::kPostponedPartly, O::kPostponedPartly, O::kPostponedPartly, O::kDone},
       {0, 60, 120, 180},
       {false, false, false, true}},
      // A logger that answers nothing in between starts the count again and rests longer.
      {{O::kPostponedPartly, O::kPostponedPartly, O::kPostponed, O::kPostponedPartly,
        O::kPostponedPartly, O::kDone},
       {0, 60, 120, 240, 300, 360},
       {false, false, false, false, false, false}},
  };
  for (const auto& c : cases) {
    steps_.clear();
    loop_.pace = {};
    const int64_t first = nowMs_ / 1000;
    seed(json{{"intervals", {{{"a", 1690000000}, {"b", 1690000060}}, {{"a", first}}}}}.dump());
    outcomes_ = c.outcomes;
    while (stepsOf(false).size() < c.outcomes.size()) pass();
    std::vector<int64_t> startedAt;
    std::vector<bool> lastAttempt;
    for (const StepCall& call : stepsOf(false)) {
      startedAt.push_back(call.at - first);
      lastAttempt.push_back(call.lastAttempt);
    }
    EXPECT_EQ(startedAt, c.startedAt);
    EXPECT_EQ(lastAttempt, c.lastAttempt);
  }
}

TEST_F(CollectionLoop, FailedSaveGoesOnFromTheDocumentInMemoryAndNoWindowIsSteppedTwice) {
  const std::string text = R"({"intervals":[{"a":1690000000,"b":1690000600},{"a":1700000000}]})";
  seed(text);
  std::filesystem::create_directory(dir_.path() / "timestamp.tmp");  // no save can succeed
  pass();
  pass();
  nowMs_ += 121000;  // the current interval falls due in memory as well
  pass();
  EXPECT_EQ(saved(), json::parse(text));
  std::filesystem::remove(dir_.path() / "timestamp.tmp");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1690000000, 1690000120, false, kNow},
                                           {1690000120, 1690000240, false, kNow},
                                           {kNow, kNow + 120, true, kNow + 121},
                                           {1690000240, 1690000360, false, kNow + 121},
                                           {1690000360, 1690000480, false, kNow + 121}}));
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1690000480,"b":1690000600},)"
                                 R"({"a":1700000120}]})"));
  EXPECT_EQ(log_.texts(P7::kError).size(), 1u);
  EXPECT_EQ(log_.texts(P7::kInfo).back(), "Progress saved again to " + dir_.dir() + "timestamp");
}

TEST_F(CollectionLoop, ClockSteppedBackWhileAWindowIsAwaitedEndsTheWaitAndMovesTheStart) {
  seed(R"({"intervals":[{"a":1699999990}]})");
  loop_.sleep = [this](milliseconds pause) {
    sleeps_.push_back(pause);
    nowMs_ += pause.count();
    if (sleeps_.size() == 10) nowMs_ -= 300000;  // five minutes back
  };
  pass();
  EXPECT_TRUE(steps_.empty());
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1699999990}]})"));
  pass();
  const int64_t movedTo = kNow + 1 - 300;
  EXPECT_EQ(log_.texts(P7::kWarning),
            (std::vector<std::string>{
                fmt::format("Interval start 1699999990 is ahead of the clock {}, moved to the present",
                            movedTo)}));
  ASSERT_EQ(steps_.size(), 1u);
  EXPECT_EQ(steps_[0].start, movedTo);
}

TEST_F(CollectionLoop, LoneIntervalWithAnEndAheadOfTheClockIsWaitedForQuietly) {
  seed(R"({"intervals":[{"a":1700000600,"b":1}]})");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{kNow + 600, kNow + 660, true, kNow + 660}}));
  EXPECT_TRUE(log_.atLevel(P7::kWarning).empty());
}

TEST_F(CollectionLoop, TimesPast2To31GoWholeThroughTheStoreTheLoopAndTheRequest) {
  auto io = std::make_unique<kavrion::IoInfo>();
  io->deviceName = "meter_1";
  io->cells = {"P"};
  for (const int64_t a : {int64_t{2147483600}, int64_t{2147483648}, int64_t{4294967400}}) {
    SCOPED_TRACE(a);
    steps_.clear();
    nowMs_ = (a + 60) * 1000;
    seed(json{{"intervals", {{{"a", a}}}}}.dump());
    pass();
    EXPECT_EQ(steps_, (std::vector<StepCall>{{a, a + 60, true, a + 60}}));
    EXPECT_EQ(saved()["intervals"][0]["a"], a + 60);
    EXPECT_NE(norvane::makeRequests("m1", io, {a, a + 120}).front().find(fmt::format(
                  R"("min_interval":120,"request_timeout":50,"timestamp":{{"gt":{},"lt":{}}})", a,
                  a + 120)),
              std::string::npos);
  }
}

TEST_F(CollectionLoop, PassWithNothingDueWaitsForTheNextWindowToClose) {
  seed(R"({"intervals":[{"a":1699999990,"b":0},{"a":1699999950}]})");
  pass();
  EXPECT_TRUE(steps_.empty());
  EXPECT_EQ(sleeps_, std::vector<milliseconds>(710, norvane::kPollInterval));
  EXPECT_EQ(saved(), json::parse(R"({"intervals":[{"a":1699999990,"b":0},{"a":1699999950}]})"));
}

TEST_F(CollectionLoop, CurrentIntervalExactlyAtTheHorizonIsKept) {
  seed(R"({"intervals":[{"a":1699827200,"b":0},{"a":1700000000}]})");
  pass();
  EXPECT_EQ(steps_, (std::vector<StepCall>{{1699827200, 1699827320, true, kNow}}));
  EXPECT_EQ(saved()["intervals"][0], json::parse(R"({"a":1699827320,"b":0})"));
}

TEST_F(CollectionLoop, CurrentIntervalPastTheHorizonRemovesTheFileAndEndsWithStatus0) {
  seed(R"({"intervals":[{"a":1699827199,"b":0},{"a":1700000000}]})");
  try {
    pass();
    FAIL() << "the pass returned";
  } catch (const ServiceExit& exit) {
    EXPECT_EQ(exit.status, 0);
  }
  EXPECT_TRUE(steps_.empty());
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "timestamp"));
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(CollectionLoop, RepairedDocumentIsSaved) {
  seed(R"({"intervals":[{"a":"x","b":1},{"a":1690000000,"b":1690001000},{"a":1700000000}]})");
  pass();
  EXPECT_EQ(saved()["intervals"],
            json::parse(R"([{"a":1690000120,"b":1690001000},{"a":1700000000}])"));
}

TEST_F(CollectionLoop, ErrorEscapingAPassIsRecordedAndEndsWithStatus4) {
  seed(R"({"intervals":[{"a":1690000000,"b":1690001000},{"a":1700000000}]})");
  loop_.step = [](norvane::Window, bool, const norvane::StepOptions&) -> StepOutcome {
    throw std::runtime_error("broker gone");
  };
  try {
    norvane::runLoop(loop_);
  } catch (const ServiceExit& exit) {
    EXPECT_EQ(exit.status, 4);
  }
  EXPECT_EQ(log_.records(), (std::vector<Record>{{P7::kError, "Fatal error: broker gone"}}));
}

}  // namespace
