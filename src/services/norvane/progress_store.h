// The progress file: which intervals are still being collected, and from where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace norvane {

inline constexpr const char* kProgressDirectory = "/tmp/norvane/";
inline constexpr const char* kProgressFileName = "timestamp";

// Where the progress file lives; tests point it at a temporary directory.
struct ProgressLocation {
  std::string directory = kProgressDirectory;  // ends with '/'
  std::string fileName = kProgressFileName;
};

// A current interval further ahead of the clock than this is moved to the present.
inline constexpr int64_t kAheadSeconds = 120;
// A current interval further behind than this is moved to the present, unless other
// intervals are pending or the loop says it is catching up (then 240 s): while old intervals
// are pending the loop steps it in 120-second windows, once each has closed.
inline constexpr int64_t kStaleSeconds = 120;
inline constexpr int64_t kStaleSecondsWhilePending = 240;
// A progress file larger than this is taken for damaged rather than read.
inline constexpr int64_t kMaxProgressFileBytes = 1 << 20;

// POSIX seconds; tests replace the system clock.
using WallClock = std::function<int64_t()>;
int64_t systemClockNow();

// The progress document of this pass. Never fails: a missing, unreadable or malformed file,
// or one without intervals, gives the fresh document (one interval starting now), which is
// saved at once. Damaged intervals with an end are dropped one by one; stale current
// intervals, and current intervals ahead of the clock, are moved to the present (in memory).
// With @p catchingUp a single current interval is given the time allowed while others are
// pending: it fell behind only because they were.
// The directory is used only when it is a real directory of the service's user that no one
// else may write to; the file only when it is a regular file of at most 1 MiB.
nlohmann::json getTime(const ProgressLocation& location = {}, const WallClock& now = systemClockNow,
                       bool catchingUp = false);

// The same repairs for a document kept in memory because its save failed.
nlohmann::json resumeTime(nlohmann::json document, const ProgressLocation& location = {},
                          const WallClock& now = systemClockNow, bool catchingUp = false);

// Stores the document whole; false when it could not, and the previous file stays in place.
// The first failure of a run of failures is recorded, and so is the save that ends it.
bool setTime(nlohmann::json document, const ProgressLocation& location = {});

// Removes the progress file; when that fails for a file that exists, the fresh document
// takes its place, so that the next start does not meet the same stale interval again.
void dropTime(const ProgressLocation& location = {}, const WallClock& now = systemClockNow);

// The member @p name of the interval at @p index, in seconds; std::runtime_error naming the
// interval when it is not an integer.
int64_t intervalSeconds(const nlohmann::json& interval, const char* name, size_t index);

// Records @p reason as a warning, then saves and returns the fresh document.
nlohmann::json startAfresh(const std::string& reason, const ProgressLocation& location = {},
                           const WallClock& now = systemClockNow);

}  // namespace norvane
