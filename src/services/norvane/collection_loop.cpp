// The collection loop's interval arithmetic, waits and exits.
#include "collection_loop.h"

#include "p7_trace.h"
#include "progress_store.h"
#include "service_state.h"
#include "watchdog.h"

namespace norvane {

namespace {

enum class Visit {
  kIdle,       // nothing due
  kStepped,    // the interval moved past its window
  kErased,     // an old interval was used up; the walk ends
  kPostponed,  // the history peer did not answer; the interval stays, only old ones wait
};

void recordBusyTime(const CollectionLoop& loop, int64_t startedAt, const char* kind) {
  NV_TRACE(P7::getTrace(), P7::kInfo, "Busy time:%ld (%s)", loop.now() - startedAt, kind);
}

// Steps the interval at @p index of a document whose intervals number @p count; once an old
// window was postponed in this pass, old intervals wait (@p oldOnesWait).
Visit visitInterval(const CollectionLoop& loop, nlohmann::json& intervals, size_t index,
                    size_t count, bool oldOnesWait) {
  auto& interval = intervals.at(index);
  const int64_t a = intervalSeconds(interval, "a", index);
  const int64_t b = interval.contains("b") ? intervalSeconds(interval, "b", index) : 0;

  if (b == 0 && a < loop.now() - kHorizonSeconds) {
    dropTime(loop.progress, loop.now);
    exitService(kExitDone);
  }

  if (count == 1) {
    while (loop.now() < a + kLiveWindowSeconds) {
      // The clock was stepped back while the window was awaited: waiting would stall the
      // service for as long as the step; the next pass moves the start to the present.
      if (a > loop.now() + kAheadSeconds) return Visit::kIdle;
      notifyAlive();
      loop.sleep(kPollInterval);
    }
    const int64_t startedAt = loop.now();
    loop.step({a, a + kLiveWindowSeconds}, true);
    interval["a"] = a + kLiveWindowSeconds;
    recordBusyTime(loop, startedAt, "current time");
    return Visit::kStepped;
  }

  if (b == 0) {
    if (loop.now() <= a + kPendingWindowSeconds) return Visit::kIdle;
    const int64_t startedAt = loop.now();
    loop.step({a, a + kPendingWindowSeconds}, true);
    interval["a"] = a + kPendingWindowSeconds;
    recordBusyTime(loop, startedAt, "current time");
    return Visit::kStepped;
  }

  if (oldOnesWait) return Visit::kIdle;
  // Old windows are always 120 s long, even where they reach past the interval's end.
  const int64_t startedAt = loop.now();
  if (loop.step({a, a + kPendingWindowSeconds}, false) == StepOutcome::kPostponed) {
    return Visit::kPostponed;
  }
  if (a + kPendingWindowSeconds > b) {
    intervals.erase(index);
    return Visit::kErased;
  }
  interval["a"] = a + kPendingWindowSeconds;
  recordBusyTime(loop, startedAt, "old time");
  return Visit::kStepped;
}

}  // namespace

void runPass(CollectionLoop& loop) {
  notifyAlive();
  nlohmann::json document = loop.unsaved
                                ? resumeTime(*std::exchange(loop.unsaved, std::nullopt),
                                             loop.progress, loop.now)
                                : getTime(loop.progress, loop.now);
  auto& intervals = document["intervals"];
  const size_t count = intervals.is_array() ? intervals.size() : 0;

  bool moved = false;
  bool postponed = false;
  for (size_t index = count; index-- > 0;) {
    // A postponed old window must not starve the live windows: the current interval is
    // still stepped in this pass, wherever it stands.
    const Visit visit = visitInterval(loop, intervals, index, count, postponed);
    moved = moved || visit == Visit::kStepped || visit == Visit::kErased;
    if (visit == Visit::kPostponed) postponed = true;
    if (visit == Visit::kErased) break;
  }

  if (!setTime(document, loop.progress)) loop.unsaved = std::move(document);
  // Passes follow each other at once only while they make progress; otherwise a document
  // with nothing due would keep the processor busy re-reading and re-writing the file.
  if (postponed) {
    loop.sleep(kPostponedPause);
  } else if (!moved) {
    loop.sleep(kPollInterval);
  }
}

void runLoop(CollectionLoop loop) {
  try {
    while (true) runPass(loop);
  } catch (const std::exception& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Fatal error: %s", e.what());
    exitService(kExitFatal);
  }
}

}  // namespace norvane
