// The collection loop's interval arithmetic, waits and exits.
#include "collection_loop.h"

#include <algorithm>
#include <limits>

#include "p7_trace.h"
#include "progress_store.h"
#include "service_state.h"
#include "watchdog.h"

namespace norvane {

namespace {

void recordBusyTime(const CollectionLoop& loop, int64_t startedAt, const char* kind) {
  NV_TRACE(P7::getTrace(), P7::kInfo, "Busy time:%ld (%s)", loop.now() - startedAt, kind);
}

// The end of an old interval; 0 for a current one.
int64_t endOf(const nlohmann::json& interval, size_t index) {
  return interval.contains("b") ? intervalSeconds(interval, "b", index) : 0;
}

// The progress store moves a current interval that starts ahead of the clock (a clock
// stepped back) to the present, unless it carries an end: that one is never moved.
bool movedWhenAhead(const nlohmann::json& interval, int64_t start, int64_t now) {
  return !interval.contains("b") && start > now + kAheadSeconds;
}

// Waits until the clock reaches @p moment; false when @p leave says to stop before.
bool waitUntil(const CollectionLoop& loop, int64_t moment, const std::function<bool()>& leave) {
  while (loop.now() < moment) {
    if (leave()) return false;
    notifyAlive();
    loop.sleep(kPollInterval);
  }
  return true;
}

// One pass over the document's intervals.
class Pass {
 public:
  Pass(CollectionLoop& loop, nlohmann::json& document)
      : loop_(loop), document_(document), intervals_(document["intervals"]) {}

  // Steps what is due; true when an interval moved.
  bool run() {
    if (count() == 1) return stepAlone();
    stepLiveWindows();
    if (!loop_.pace.resting(loop_.now())) stepOldWindows();
    return moved_;
  }

  // Nothing was due: waits until the next live window closes or the old intervals' rest
  // ends, without reading and writing the file meanwhile.
  void waitForNextWindow() {
    if (count() <= 1) {
      loop_.sleep(kPollInterval);  // a single interval's wait was left: the store moves it
      return;
    }
    int64_t next = std::numeric_limits<int64_t>::max();
    for (size_t index = 0; index < count(); ++index) {
      const int64_t a = intervalSeconds(intervals_[index], "a", index);
      next = endOf(intervals_[index], index) == 0 ? std::min(next, a + kPendingWindowSeconds + 1)
                                                  : std::min(next, loop_.pace.restEnd());
    }
    waitUntil(loop_, next, [this] { return anyCurrentMovedWhenAhead(); });
  }

  // A single interval still more than 120 s behind: it has not caught up yet.
  bool leftBehind() const {
    return count() == 1 && intervalSeconds(intervals_[0], "a", 0) < loop_.now() - kStaleSeconds;
  }
  size_t count() const { return intervals_.is_array() ? intervals_.size() : 0; }

 private:
  void checkHorizon(const nlohmann::json& interval, size_t index, int64_t start) {
    if (endOf(interval, index) == 0 && start < loop_.now() - kHorizonSeconds) {
      dropTime(loop_.progress, loop_.now);
      exitService(kExitDone);
    }
  }

  void stepLive(nlohmann::json& interval, int64_t start, int64_t length) {
    const int64_t startedAt = loop_.now();
    loop_.step({start, start + length}, true, {});
    interval["a"] = start + length;
    moved_ = true;
    recordBusyTime(loop_, startedAt, "current time");
  }

  // A single interval, with or without an end: 60-second windows, each once it has closed.
  // Just after the back-fill the interval is still in a 120-second window: it is closed as
  // one, so that its first part is not published late.
  bool stepAlone() {
    auto& interval = intervals_.at(0);
    const int64_t a = intervalSeconds(interval, "a", 0);
    const int64_t length = loop_.catchingUp ? kPendingWindowSeconds : kLiveWindowSeconds;
    checkHorizon(interval, 0, a);
    // The clock was stepped back while the window was awaited: waiting would stall the
    // service for as long as the step; the next pass moves the start to the present.
    const bool closed =
        waitUntil(loop_, a + length, [&] { return movedWhenAhead(interval, a, loop_.now()); });
    if (closed) stepLive(interval, a, length);
    return closed;
  }

  // Live windows come first, wherever their interval stands: back-fill never holds them up.
  bool stepLiveWindows() {
    bool stepped = false;
    for (size_t index = count(); index-- > 0;) {
      auto& interval = intervals_[index];
      if (endOf(interval, index) != 0) continue;
      const int64_t a = intervalSeconds(interval, "a", index);
      checkHorizon(interval, index, a);
      if (loop_.now() <= a + kPendingWindowSeconds) continue;
      stepLive(interval, a, kPendingWindowSeconds);
      stepped = true;
    }
    return stepped;
  }

  // One window of each old interval, from the last to the first. A used-up interval ends the
  // walk; a postponed window makes the older ones rest as well.
  void stepOldWindows() {
    for (size_t index = count(); index-- > 0;) {
      if (endOf(intervals_[index], index) == 0) continue;
      if (!stepOldWindow(index)) return;
    }
  }

  // False when the walk ends here.
  bool stepOldWindow(size_t index) {
    auto& interval = intervals_[index];
    const int64_t a = intervalSeconds(interval, "a", index);
    const int64_t b = endOf(interval, index);
    // Old windows are always 120 s long, even where they reach past the interval's end.
    const Window window{a, a + kPendingWindowSeconds};
    StepOptions options;
    options.lastAttempt = loop_.pace.lastAttempt(window);
    // Saved at once: a restart during a long wait for wb-mqtt-db must not publish the live
    // window a second time.
    options.whileWaiting = [this] {
      if (stepLiveWindows()) setTime(document_, loop_.progress);
    };
    const int64_t startedAt = loop_.now();
    const StepOutcome outcome = loop_.step(window, false, options);
    loop_.pace.record(window, outcome, loop_.now());
    if (outcome != StepOutcome::kDone) return false;
    moved_ = true;
    if (a + kPendingWindowSeconds > b) {
      intervals_.erase(index);
      return false;
    }
    interval["a"] = a + kPendingWindowSeconds;
    recordBusyTime(loop_, startedAt, "old time");
    return true;
  }

  bool anyCurrentMovedWhenAhead() const {
    for (size_t index = 0; index < count(); ++index) {
      const auto& interval = intervals_[index];
      if (movedWhenAhead(interval, intervalSeconds(interval, "a", index), loop_.now())) return true;
    }
    return false;
  }

  CollectionLoop& loop_;
  nlohmann::json& document_;
  nlohmann::json& intervals_;
  bool moved_ = false;
};

nlohmann::json loadDocument(CollectionLoop& loop) {
  if (!loop.unsaved) return getTime(loop.progress, loop.now, loop.catchingUp);
  return resumeTime(*std::exchange(loop.unsaved, std::nullopt), loop.progress, loop.now,
                    loop.catchingUp);
}

}  // namespace

bool BackfillPace::resting(int64_t now) {
  if (restUntil_ - now > restLength_) restUntil_ = now + restLength_;
  return now < restUntil_;
}

bool BackfillPace::lastAttempt(Window window) const {
  return partlyAnsweredInRow_ >= kPartlyAnsweredTries && window == partlyAnswered_;
}

void BackfillPace::record(Window window, StepOutcome outcome, int64_t now) {
  switch (outcome) {
    case StepOutcome::kDone:
      unansweredInRow_ = 0;
      partlyAnsweredInRow_ = 0;
      return;
    case StepOutcome::kPostponedPartly:
      unansweredInRow_ = 1;  // the answers start the count again; this postponement is its first
      partlyAnsweredInRow_ = window == partlyAnswered_ ? partlyAnsweredInRow_ + 1 : 1;
      partlyAnswered_ = window;
      break;
    case StepOutcome::kPostponed:
      ++unansweredInRow_;
      partlyAnsweredInRow_ = 0;
      break;
  }
  const int doublings = std::min(unansweredInRow_ - 1, 5);
  restLength_ = std::min(kFirstRestSeconds << doublings, kLongestRestSeconds);
  restUntil_ = now + restLength_;
}

void runPass(CollectionLoop& loop) {
  notifyAlive();
  nlohmann::json document = loadDocument(loop);
  Pass pass(loop, document);
  const bool severalIntervals = pass.count() > 1;
  const bool moved = pass.run();
  loop.catchingUp = severalIntervals || (loop.catchingUp && pass.leftBehind());
  if (!setTime(document, loop.progress)) loop.unsaved = document;
  // Passes follow each other at once only while they make progress; otherwise a document
  // with nothing due would keep the processor busy re-reading and re-writing the file.
  if (!moved) pass.waitForNextWindow();
}

void runLoop(CollectionLoop loop) {
  try {
    while (true) runPass(loop);
  } catch (const std::exception& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Fatal error: %s", P7::excerpt(e.what()).c_str());
    exitService(kExitFatal);
  }
}

}  // namespace norvane
