// Reads, repairs, saves and removes the progress file.
#include "progress_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <unordered_set>

#include "config_persistence.h"
#include "file_text.h"
#include "p7_trace.h"

namespace norvane {

namespace {

using kavrion::FileDescriptor;

// /tmp is shared with every local user and the service runs as root: its own directory
// keeps the others from swapping or forging the progress file.
constexpr mode_t kDirectoryMode = 0700;

// Files whose saves fail at present. The failure is recorded when it starts and the
// recovery when it ends; a full disk would otherwise add a record on every pass.
std::unordered_set<std::string> failingSaves;

std::string joinPath(const std::string& directory, const std::string& fileName) {
  return fmt::vformat("{}{}", fmt::make_format_args(directory, fileName));
}

std::string errnoText(int error) {
  char buffer[128];
  return strerror_r(error, buffer, sizeof buffer);  // the GNU variant returns the text
}

// mkdir for every prefix of the directory that ends with '/', from the second character on;
// the directory itself is private. Returns the error text of the first prefix that cannot
// be created, empty on success.
std::string createDirectoryChain(const std::string& directory) {
  for (size_t position = 1; position < directory.size(); ++position) {
    if (directory[position] != '/') continue;
    const std::string prefix = directory.substr(0, position + 1);
    const mode_t mode = position + 1 == directory.size() ? kDirectoryMode : 0775;
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      const int error = errno;
      return fmt::vformat("Не удалось создать \"{}\" errno: {}",
                          fmt::make_format_args(prefix, error));
    }
  }
  return "";
}

// The progress directory, opened without following a link at its last component, or why
// it cannot be used.
struct ProgressDirectory {
  FileDescriptor fd;
  bool missing = false;
  bool refused = false;  // it exists, but is not safe to use
  std::string reason;
};

std::string whyRefused(const struct stat& status) {
  if (status.st_uid != ::geteuid()) return fmt::format("it is owned by uid {}", status.st_uid);
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return fmt::format("it is writable by group or others (mode {:04o})", status.st_mode & 07777);
  }
  return "";
}

// Why open(2) refused what stands at @p path.
std::string whyNotOpened(const struct stat& status, int error) {
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "it is not a directory";
  return errnoText(error);
}

ProgressDirectory openDirectory(const std::string& directory) {
  std::string path = directory;
  while (path.size() > 1 && path.back() == '/') path.pop_back();  // a trailing '/' follows links
  ProgressDirectory opened;
  opened.fd = FileDescriptor(
      ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!opened.fd.valid()) {
    const int error = errno;
    struct stat status {};
    // Nothing stands there (or a parent is missing): creating the chain says what fails.
    opened.missing = ::lstat(path.c_str(), &status) != 0;
    opened.refused = !opened.missing;
    if (opened.refused) opened.reason = whyNotOpened(status, error);
    return opened;
  }
  // Checked on what was opened, so a swap after the check cannot slip anything in.
  struct stat status {};
  opened.reason = ::fstat(opened.fd.get(), &status) == 0 ? whyRefused(status) : errnoText(errno);
  if (!opened.reason.empty()) {
    opened.refused = true;
    opened.fd = FileDescriptor();
  }
  return opened;
}

std::string refusalRecord(const std::string& directory, const std::string& reason) {
  return fmt::format("Progress directory {} refused: {}. Progress is kept in memory", directory,
                     reason);
}

std::string saveErrorRecord(const std::string& path, const std::string& reason) {
  return fmt::format("Save timestamp error! {}: {}", path, reason);
}

void noteSaveFailed(const std::string& path, const std::string& record) {
  if (!failingSaves.insert(path).second) return;
  NV_TRACE(P7::getTrace(), P7::kError, "%s", record.c_str());
}

void noteSaveSucceeded(const std::string& path) {
  if (failingSaves.erase(path) == 0) return;
  NV_TRACE(P7::getTrace(), P7::kInfo, "Progress saved again to %s", path.c_str());
}

bool writeAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count == 0) errno = ENOSPC;
    if (count <= 0) return false;
    written += static_cast<size_t>(count);
  }
  return true;
}

// Writes the text into the checked directory; the record of what failed, empty on success.
std::string saveText(const std::string& text, const ProgressLocation& location) {
  const std::string path = joinPath(location.directory, location.fileName);
  ProgressDirectory directory = openDirectory(location.directory);
  if (directory.missing) {
    const std::string failure = createDirectoryChain(location.directory);
    if (!failure.empty()) return saveErrorRecord(path, failure);
    directory = openDirectory(location.directory);
  }
  if (!directory.fd.valid()) {
    return directory.refused ? refusalRecord(location.directory, directory.reason)
                             : saveErrorRecord(path, directory.reason);
  }
  // The new text goes to a temporary file that is renamed over the old one, so that a kill
  // at any moment leaves either the old or the new document, never a truncated one. No
  // fsync: the file is rewritten on every pass and lives in /tmp. A leftover of an
  // interrupted save is unlinked first; O_EXCL then makes sure the file is new.
  const int dirFd = directory.fd.get();
  const std::string temporary = location.fileName + ".tmp";
  ::unlinkat(dirFd, temporary.c_str(), 0);
  const int fd = ::openat(dirFd, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return saveErrorRecord(path, errnoText(errno));
  const bool written = writeAll(fd, text);
  int error = errno;
  const bool closed = ::close(fd) == 0;
  if (written && !closed) error = errno;
  const bool renamed = written && closed &&
                       ::renameat(dirFd, temporary.c_str(), dirFd, location.fileName.c_str()) == 0;
  if (written && closed && !renamed) error = errno;
  if (renamed) return "";
  ::unlinkat(dirFd, temporary.c_str(), 0);
  return saveErrorRecord(path, errnoText(error));
}

// The file's text, or the reason to start afresh.
struct FileText {
  std::optional<std::string> text;
  std::string reason;
};

FileText readProgressFile(const ProgressLocation& location) {
  const std::string path = joinPath(location.directory, location.fileName);
  FileText unreadable{std::nullopt, "Read timestamp error! Will be use current time."};
  const ProgressDirectory directory = openDirectory(location.directory);
  if (directory.refused) noteSaveFailed(path, refusalRecord(location.directory, directory.reason));
  if (!directory.fd.valid()) return unreadable;
  // O_NONBLOCK: a FIFO planted under the name would otherwise hold the open for ever.
  const FileDescriptor file(::openat(directory.fd.get(), location.fileName.c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return unreadable;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return {std::nullopt, fmt::format("Progress file {} is not a regular file", path)};
  }
  if (status.st_size > kMaxProgressFileBytes) {
    return {std::nullopt, fmt::format("Progress file {} is larger than 1 MiB", path)};
  }
  return {kavrion::readDescriptorText(file.get(), path), ""};
}

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

void moveCurrentIntervals(nlohmann::json& intervals, int64_t now, bool catchingUp) {
  const int64_t staleAfter =
      intervals.size() > 1 || catchingUp ? kStaleSecondsWhilePending : kStaleSeconds;
  for (size_t index = 0; index < intervals.size(); ++index) {
    auto& interval = intervals[index];
    if (interval.is_object() && interval.contains("b")) continue;
    if (!interval.is_object() || !interval.contains("a")) {
      throw std::runtime_error(fmt::format("Progress interval {}: \"a\" is missing", index));
    }
    const int64_t start = intervalSeconds(interval, "a", index);
    if (start < now - staleAfter) {  // a + limit < now, without overflow
      interval["a"] = now;
    } else if (start > now + kAheadSeconds) {
      NV_TRACE(P7::getTrace(), P7::kWarning,
               "Interval start %ld is ahead of the clock %ld, moved to the present", start, now);
      interval["a"] = now;
    }
  }
}

nlohmann::json repair(nlohmann::json document, const ProgressLocation& location,
                      const WallClock& now, bool catchingUp) {
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
  moveCurrentIntervals(intervals, now(), catchingUp);
  return document;
}

// What @p load returns, or the fresh document with the error's text.
template <typename Load>
nlohmann::json freshOnError(const ProgressLocation& location, const WallClock& now, Load load) {
  try {
    return load();
  } catch (const nlohmann::json::exception& e) {
    return startAfresh(e.what(), location, now);
  } catch (const std::runtime_error& e) {
    return startAfresh(e.what(), location, now);
  }
}

nlohmann::json freshDocument(int64_t now) {
  return {{"intervals", nlohmann::json::array({{{"a", now}}})}};
}

}  // namespace

int64_t systemClockNow() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t intervalSeconds(const nlohmann::json& interval, const char* name, size_t index) {
  const auto value = kavrion::numberAsInt64(interval.at(name));
  if (!value) {
    throw std::runtime_error(
        fmt::format("Progress interval {}: \"{}\" is not a number", index, name));
  }
  return *value;
}

nlohmann::json startAfresh(const std::string& reason, const ProgressLocation& location,
                           const WallClock& now) {
  NV_TRACE(P7::getTrace(), P7::kWarning, "%s", P7::excerpt(reason).c_str());
  nlohmann::json document = freshDocument(now());
  setTime(document, location);
  return document;
}

nlohmann::json getTime(const ProgressLocation& location, const WallClock& now, bool catchingUp) {
  return freshOnError(location, now, [&] {
    const FileText file = readProgressFile(location);
    if (!file.text) return startAfresh(file.reason, location, now);
    return repair(nlohmann::json::parse(*file.text, nullptr, true, false), location, now,
                  catchingUp);
  });
}

nlohmann::json resumeTime(nlohmann::json document, const ProgressLocation& location,
                          const WallClock& now, bool catchingUp) {
  return freshOnError(location, now,
                      [&] { return repair(std::move(document), location, now, catchingUp); });
}

// By value as declared in the header; one copy of a document of a few intervals per pass.
bool setTime(nlohmann::json document,  // NOLINT(performance-unnecessary-value-param)
             const ProgressLocation& location) {
  const std::string path = joinPath(location.directory, location.fileName);
  const std::string failure = saveText(document.dump(), location);
  if (failure.empty()) {
    noteSaveSucceeded(path);
    return true;
  }
  noteSaveFailed(path, failure);
  return false;
}

void dropTime(const ProgressLocation& location, const WallClock& now) {
  const ProgressDirectory directory = openDirectory(location.directory);
  // A directory that is missing or refused holds no progress of this service.
  if (!directory.fd.valid()) return;
  if (::unlinkat(directory.fd.get(), location.fileName.c_str(), 0) == 0 || errno == ENOENT) {
    return;
  }
  const int error = errno;
  NV_TRACE(P7::getTrace(), P7::kError, "Drop timestamp error! errno: %d", error);
  setTime(freshDocument(now()), location);
}

}  // namespace norvane
