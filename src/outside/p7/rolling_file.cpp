// Rolling log file: one locked write path, roll by size and age, bounded file count.
#include "rolling_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "stderr_writer.h"

namespace P7 {

namespace {

using TimePoint = std::chrono::system_clock::time_point;
namespace fs = std::filesystem;

constexpr auto kComplaintInterval = std::chrono::minutes(1);
constexpr size_t kStampLength = 19;  // YYYY-MM-DD_HH-MM-SS
constexpr int kMaxSameSecondFiles = 1000;  // three digits of sequence

std::string formatStamp(TimePoint time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &parts);
  return std::string(text, length);
}

std::optional<TimePoint> parseStamp(const std::string& stamp) {
  std::tm parts{};
  char tail = 0;
  if (std::sscanf(stamp.c_str(), "%4d-%2d-%2d_%2d-%2d-%2d%c", &parts.tm_year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &tail) != 6) {
    return std::nullopt;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  std::time_t seconds = timegm(&parts);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

// One of our files: "<channel>_<stamp>.log", or "<channel>_<stamp>_<nnn>.log" for the n-th
// further file started within the same second. Ordered by (stamp, n): oldest first, which is
// also the names' byte order, so a plain listing shows the files by age.
struct LogFileName {
  fs::path path;
  std::string stamp;
  int sequence = 0;
  bool operator<(const LogFileName& other) const {
    return std::tie(stamp, sequence) < std::tie(other.stamp, other.sequence);
  }
};

std::optional<LogFileName> parseLogFileName(const fs::path& path, const std::string& channel) {
  const std::string name = path.filename().string();
  const std::string prefix = channel + "_";
  const std::string suffix = ".log";
  if (name.size() < prefix.size() + kStampLength + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return std::nullopt;
  }
  LogFileName result{path, name.substr(prefix.size(), kStampLength), 0};
  if (!parseStamp(result.stamp)) return std::nullopt;
  std::string rest = name.substr(prefix.size() + kStampLength,
                                 name.size() - prefix.size() - kStampLength - suffix.size());
  if (rest.empty()) return result;
  if (rest.size() != 4 || rest[0] != '_' ||
      !std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  result.sequence = std::stoi(rest.substr(1));
  return result;
}

std::vector<LogFileName> listLogFiles(const fs::path& dir, const std::string& channel) {
  std::vector<LogFileName> files;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    if (auto file = parseLogFileName(it->path(), channel)) files.push_back(std::move(*file));
  }
  std::sort(files.begin(), files.end());
  return files;
}

void complainOnStderr(const std::string& text) { writeToStderr("p7: " + text + "\n", false); }

}  // namespace

RollingFile::RollingFile(RollingFileSettings settings, Clock clock, Complaint complaint)
    : settings_(std::move(settings)),
      clock_(clock ? std::move(clock) : Clock(std::chrono::system_clock::now)),
      complaint_(complaint ? std::move(complaint) : Complaint(complainOnStderr)) {}

RollingFile::~RollingFile() { closeFile(); }

bool RollingFile::write(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    const TimePoint now = clock_();
    if (!ensureOpen(now)) return false;
    if (needsRoll(line.size(), now)) rotate(now);
    if (fd_ < 0) return false;
    while (!line.empty()) {
      ssize_t written = ::write(fd_, line.data(), line.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        complain("cannot write \"" + path_.string() + "\": " + std::strerror(errno) +
                 " [errno " + std::to_string(errno) + "]");
        closeFile();  // the next record opens it again
        return false;
      }
      size_ += static_cast<uint64_t>(written);
      line.remove_prefix(static_cast<size_t>(written));
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool RollingFile::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    return ensureOpen(clock_());
  } catch (...) {
    return false;
  }
}

void RollingFile::sync() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::fdatasync(fd_);
}

fs::path RollingFile::currentPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

bool RollingFile::ensureOpen(TimePoint now) {
  if (fd_ >= 0) {
    // A clock set back (the controller syncing its time) would hold the roll off until the
    // clock caught up again; measure the period from now instead.
    if (now < fileStart_) fileStart_ = now;
    return true;
  }
  std::error_code error;
  fs::create_directories(settings_.dir, error);
  if (error && !fs::is_directory(settings_.dir)) {
    complain("cannot create log directory \"" + settings_.dir.string() + "\": " +
             error.message() + " [errno " + std::to_string(error.value()) + "]");
    return false;
  }
  return openExistingOrNew(now);
}

// A restart goes on with the newest file while it is young and small enough, so a service
// that restarts in a loop does not push its earlier logs out of the kept files.
bool RollingFile::openExistingOrNew(TimePoint now) {
  std::vector<LogFileName> files = listLogFiles(settings_.dir, settings_.channel);
  if (!files.empty()) {
    const LogFileName& newest = files.back();
    std::error_code error;
    uint64_t size = fs::file_size(newest.path, error);
    TimePoint start = parseStamp(newest.stamp).value_or(now);
    bool smallEnough = !error && (settings_.maxBytes == 0 || size < settings_.maxBytes);
    bool youngEnough = settings_.rollPeriod.count() == 0 || start + settings_.rollPeriod > now;
    if (smallEnough && youngEnough && openFile(newest.path, start)) {
      if (now < fileStart_) fileStart_ = now;
      return true;
    }
  }
  return openNew(now);
}

bool RollingFile::openNew(TimePoint now) {
  const std::string stamp = formatStamp(now);
  const std::string base = settings_.channel + "_" + stamp;
  // Past every file of this second, even one already pruned, so that names keep their order.
  int first = 0;
  for (const LogFileName& file : listLogFiles(settings_.dir, settings_.channel)) {
    if (file.stamp == stamp) first = std::max(first, file.sequence + 1);
  }
  for (int sequence = first; sequence < kMaxSameSecondFiles; ++sequence) {
    fs::path path = settings_.dir / (sequence == 0 ? base + ".log"
                                                   : fmt::format("{}_{:03}.log", base, sequence));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      complain("cannot create log file \"" + path.string() + "\": " + std::strerror(errno) +
               " [errno " + std::to_string(errno) + "]");
      return false;
    }
    fd_ = fd;
    path_ = std::move(path);
    size_ = 0;
    fileStart_ = now;
    removeOldFiles();
    return true;
  }
  complain("cannot create log file \"" + base + "\": too many files in one second");
  return false;
}

bool RollingFile::openFile(const fs::path& path, TimePoint start) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  path_ = path;
  size_ = static_cast<uint64_t>(status.st_size);
  fileStart_ = start;
  return true;
}

bool RollingFile::needsRoll(size_t lineSize, TimePoint now) const {
  bool full = settings_.maxBytes != 0 && size_ > 0 && size_ + lineSize > settings_.maxBytes;
  bool old = settings_.rollPeriod.count() != 0 && now >= fileStart_ + settings_.rollPeriod;
  return full || old;
}

// Rolling over with maxFiles = 3:
//
//   before:  ch_2025-12-06_00-00-00.log  ch_2025-12-07_00-00-00.log  ch_2025-12-08_00-00-00.log*
//   after:   ch_2025-12-07_00-00-00.log  ch_2025-12-08_00-00-00.log  ch_2025-12-09_00-00-00.log*
//
// (* the file being written). Files are never renamed: the current file is closed as it
// is, a new one named after the present time is opened, and the oldest files beyond the
// count are removed. Further files within the same second get "_001", "_002", ... after
// the stamp.
void RollingFile::rotate(TimePoint now) {
  closeFile();
  openNew(now);
}

// The file being written always stays, whatever the clock did to the names.
void RollingFile::removeOldFiles() {
  if (settings_.maxFiles == 0) return;
  std::vector<LogFileName> files = listLogFiles(settings_.dir, settings_.channel);
  std::erase_if(files, [this](const LogFileName& file) { return file.path == path_; });
  const size_t keepOthers = settings_.maxFiles - 1;
  if (files.size() <= keepOthers) return;
  for (size_t i = 0; i < files.size() - keepOthers; ++i) {
    std::error_code error;
    if (!fs::remove(files[i].path, error) && error) {
      complain("cannot remove old log file \"" + files[i].path.string() + "\": " +
               error.message());
    }
  }
}

void RollingFile::closeFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
  size_ = 0;
}

void RollingFile::complain(const std::string& text) {
  const TimePoint now = clock_();
  if (complained_ && now >= lastComplaint_ && now - lastComplaint_ < kComplaintInterval) return;
  complained_ = true;
  lastComplaint_ = now;
  try {
    complaint_(text);
  } catch (...) {
  }
}

}  // namespace P7
