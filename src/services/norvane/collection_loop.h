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
// After an old window was postponed (its history peer did not answer).
inline constexpr std::chrono::milliseconds kPostponedPause{1000};

// What the loop works with; the service wires the real step, clock and sleep, tests their own.
struct CollectionLoop {
  // One collection step over the window (start, end); true for live values.
  std::function<StepOutcome(std::pair<int64_t, int64_t> window, bool current)> step;
  WallClock now = systemClockNow;
  std::function<void(std::chrono::milliseconds)> sleep;
  ProgressLocation progress;
  // The document of the last pass while its save fails: the next pass goes on from it, so
  // that no window is stepped twice because the disk is full.
  std::optional<nlohmann::json> unsaved;
};

// One pass: load the progress document, at most one step per interval from the last to the
// first, save the document. Pauses when the pass moved nothing. Ends the process with
// status 0 past the horizon.
void runPass(CollectionLoop& loop);

// Passes for ever. An error escaping a pass is recorded ("Fatal error: %s") and ends the
// process with status 4.
[[noreturn]] void runLoop(CollectionLoop loop);

}  // namespace norvane
