// Reads, repairs, saves and removes the progress file.
#include "progress_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>
#include <stdexcept>

#include "config_persistence.h"
#include "file_text.h"
#include "p7_trace.h"

namespace norvane {

namespace {

// A current interval further behind than this is moved to the present.
constexpr int64_t kStaleSeconds = 120;
// While other intervals are pending the loop steps the current one in 120-second windows,
// only once it is more than 120 s behind; moving it any earlier would skip every live window.
constexpr int64_t kStaleSecondsAmongSeveral = 240;
// A current interval further ahead of the clock than this is moved to the present.
constexpr int64_t kAheadSeconds = 120;

std::string joinPath(const std::string& directory, const std::string& fileName) {
  return fmt::vformat("{}{}", fmt::make_format_args(directory, fileName));
}

// The whole file; the link is not followed, since /tmp is world-writable and the service
// runs as root. Nothing when the file cannot be opened.
std::optional<std::string> readProgressFile(const std::string& path) {
  return kavrion::readFileText(path, O_NOFOLLOW);
}

// mkdir for every prefix of the directory that ends with '/', from the second character on.
// Returns the error text of the first prefix that cannot be created, empty on success.
std::string createDirectoryChain(const std::string& directory) {
  for (size_t position = 1; position < directory.size(); ++position) {
    if (directory[position] != '/') continue;
    const std::string prefix = directory.substr(0, position + 1);
    if (::mkdir(prefix.c_str(), 0775) != 0 && errno != EEXIST) {
      const int error = errno;
      return fmt::vformat("Не удалось создать \"{}\" errno: {}",
                          fmt::make_format_args(prefix, error));
    }
  }
  return "";
}

// A new file that no one else can have opened or linked: a leftover of an interrupted save,
// or anything planted under that name, is unlinked first (unlink removes a link itself).
int createTemporary(const std::string& path) {
  ::unlink(path.c_str());
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

bool writeAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += static_cast<size_t>(count);
  }
  return true;
}

void recordSaveError() { NV_TRACE(P7::getTrace(), P7::kError, "Save timestamp error!"); }

std::string describeDamage(const nlohmann::json& interval) {
  if (!interval.contains("a")) return "\"a\" is missing";
  if (!kavrion::numberAsInt64(interval.at("a"))) return "\"a\" is not a number";
  if (!kavrion::numberAsInt64(interval.at("b"))) return "\"b\" is not a number";
  return "";
}

// An interval with an end that the loop could not read would end the service on every
// start; it is dropped alone, and the others are kept.
void dropDamagedIntervals(nlohmann::json& intervals) {
  int originalIndex = 0;
  for (auto it = intervals.begin(); it != intervals.end(); ++originalIndex) {
    if (!it->is_object() || !it->contains("b")) {
      ++it;
      continue;
    }
    const std::string damage = describeDamage(*it);
    if (damage.empty()) {
      ++it;
      continue;
    }
    NV_TRACE(P7::getTrace(), P7::kWarning, "Progress interval %d dropped: %s", originalIndex,
             damage.c_str());
    it = intervals.erase(it);
  }
}

void moveCurrentIntervals(nlohmann::json& intervals, int64_t now) {
  const int64_t staleAfter = intervals.size() > 1 ? kStaleSecondsAmongSeveral : kStaleSeconds;
  for (size_t index = 0; index < intervals.size(); ++index) {
    auto& interval = intervals[index];
    if (interval.is_object() && interval.contains("b")) continue;
    if (!interval.is_object() || !interval.contains("a")) {
      throw std::runtime_error(fmt::format("Progress interval {}: \"a\" is missing", index));
    }
    const auto start = kavrion::numberAsInt64(interval["a"]);
    if (!start) {
      throw std::runtime_error(fmt::format("Progress interval {}: \"a\" is not a number", index));
    }
    if (*start < now - staleAfter) {  // a + limit < now, without overflow
      interval["a"] = now;
    } else if (*start > now + kAheadSeconds) {
      NV_TRACE(P7::getTrace(), P7::kWarning,
               "Interval start %ld is ahead of the clock %ld, moved to the present", *start, now);
      interval["a"] = now;
    }
  }
}

}  // namespace

int64_t systemClockNow() { return static_cast<int64_t>(std::time(nullptr)); }

nlohmann::json startAfresh(const std::string& reason, const ProgressLocation& location,
                           const WallClock& now) {
  NV_TRACE(P7::getTrace(), P7::kWarning, "%s", reason.c_str());
  nlohmann::json document = {{"intervals", nlohmann::json::array({{{"a", now()}}})}};
  setTime(document, location);
  return document;
}

nlohmann::json getTime(const ProgressLocation& location, const WallClock& now) {
  const std::string path = joinPath(location.directory, location.fileName);
  try {
    const auto text = readProgressFile(path);
    if (!text) {
      return startAfresh("Read timestamp error! Will be use current time.", location, now);
    }
    auto document = nlohmann::json::parse(*text, nullptr, true, false);
    auto& intervals = document["intervals"];
    if (!intervals.is_null() && !intervals.is_array()) {
      throw std::runtime_error("\"intervals\" is not an array");
    }
    if (intervals.is_array()) dropDamagedIntervals(intervals);
    if (intervals.empty()) {
      // Nothing would ever add an interval to such a document: the loop would spin on it.
      return startAfresh("No intervals in the progress file. Will be use current time.", location,
                         now);
    }
    moveCurrentIntervals(intervals, now());
    return document;
  } catch (const nlohmann::json::exception& e) {
    return startAfresh(e.what(), location, now);
  } catch (const std::runtime_error& e) {
    return startAfresh(e.what(), location, now);
  }
}

// By value as declared in the header; one copy of a document of a few intervals per pass.
void setTime(nlohmann::json document,  // NOLINT(performance-unnecessary-value-param)
             const ProgressLocation& location) {
  const std::string path = joinPath(location.directory, location.fileName);
  const std::string temporary = path + ".tmp";
  // The new text goes to a temporary file that is renamed over the old one, so that a kill
  // at any moment leaves either the old or the new document, never a truncated one. No
  // fsync: the file is rewritten on every pass and lives in /tmp.
  int fd = createTemporary(temporary);
  if (fd < 0) {
    const std::string failure = createDirectoryChain(location.directory);
    if (!failure.empty()) NV_TRACE(P7::getTrace(), P7::kError, "%s", failure.c_str());
    fd = createTemporary(temporary);
  }
  if (fd < 0) {
    recordSaveError();
    return;
  }
  const bool written = writeAll(fd, document.dump());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    recordSaveError();
  }
}

void dropTime(const ProgressLocation& location, const WallClock& now) {
  const std::string path = joinPath(location.directory, location.fileName);
  if (std::remove(path.c_str()) == 0 || errno == ENOENT) return;
  const int error = errno;
  NV_TRACE(P7::getTrace(), P7::kError, "Drop timestamp error! errno: %d", error);
  setTime(nlohmann::json{{"intervals", nlohmann::json::array({{{"a", now()}}})}}, location);
}

}  // namespace norvane
