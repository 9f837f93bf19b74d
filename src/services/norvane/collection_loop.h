// The collection loop: walks the progress intervals and steps each one through time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "collection_step.h"
#include "progress_store.h"

namespace norvane {

inline constexpr int64_t kLiveWindowSeconds = 60;
inline constexpr int64_t kPendingWindowSeconds = 120;
// A current interval that starts further back than this ends the service (status 0).
inline constexpr int64_t kHorizonSeconds = 172800;
inline constexpr std::chrono::milliseconds kPollInterval{100};
// After a postponed old window, old intervals rest: 1 min, doubling with each postponement
// in a row up to 30 min; a request wb-mqtt-db answers starts the count again.
inline constexpr int64_t kFirstRestSeconds = 60;
inline constexpr int64_t kLongestRestSeconds = 1800;
// A window postponed this many times in a row while wb-mqtt-db answered some of its
// requests gets one last attempt that gives up the requests it keeps failing.
inline constexpr int kPartlyAnsweredTries = 3;

using Window = std::pair<int64_t, int64_t>;

// When old windows are asked of wb-mqtt-db again after postponements.
class BackfillPace {
 public:
  // True while old intervals rest. A rest that reaches further ahead than its own length
  // (the clock was stepped back) is cut to that length.
  bool resting(int64_t now);
  int64_t restEnd() const { return restUntil_; }
  bool lastAttempt(Window window) const;
  void record(Window window, StepOutcome outcome, int64_t now);

 private:
  int64_t restUntil_ = 0;
  int64_t restLength_ = 0;
  int unansweredInRow_ = 0;  // postponements since wb-mqtt-db last answered a request
  Window partlyAnswered_{};
  int partlyAnsweredInRow_ = 0;
};

// What the loop works with; the service wires the real step, clock and sleep, tests their own.
struct CollectionLoop {
  // One collection step over the window (start, end); true for live values.
  std::function<StepOutcome(Window window, bool current, const StepOptions& options)> step;
  WallClock now = systemClockNow;
  std::function<void(std::chrono::milliseconds)> sleep;
  ProgressLocation progress;
  // The document of the last pass while its save fails: the next pass goes on from it, so
  // that no window is stepped twice because the disk is full.
  std::optional<nlohmann::json> unsaved;
  BackfillPace pace;
  // The current interval is behind only because old intervals were pending: it is stepped
  // until it has caught up, not moved to the present.
  bool catchingUp = false;
};

// One pass: load the progress document, step every live window that is due, then one window
// of each old interval from the last to the first while they do not rest, and save the
// document. Live windows that fall due while an old window is awaited are stepped at once.
// Waits for the next window when the pass moved nothing. Ends the process with status 0
// past the horizon.
void runPass(CollectionLoop& loop);

// Passes for ever. An error escaping a pass is recorded ("Fatal error: %s") and ends the
// process with status 4.
[[noreturn]] void runLoop(CollectionLoop loop);

}  // namespace norvane
