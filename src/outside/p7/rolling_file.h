// A log file that rolls over by size and age and keeps a bounded number of files.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace P7 {

struct RollingFileSettings {
  std::filesystem::path dir;           // created with its whole chain when missing
  std::string channel;                 // files: "<channel>_<YYYY-MM-DD_HH-MM-SS>[_nnn].log" (UTC)
  uint64_t maxBytes = 0;               // 0: no limit
  unsigned maxFiles = 0;               // 0: keep every file
  std::chrono::seconds rollPeriod{0};  // 0: no time-based roll
};

// Writes whole lines with write(2), so a line is in the kernel's hands when write() returns
// and survives an immediate process exit. Never throws; a failing disk is reported through
// the complaint callback at most once a minute.
class RollingFile {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  using Complaint = std::function<void(const std::string& text)>;

  explicit RollingFile(RollingFileSettings settings, Clock clock = std::chrono::system_clock::now,
                       Complaint complaint = {});
  ~RollingFile();
  RollingFile(const RollingFile&) = delete;
  RollingFile& operator=(const RollingFile&) = delete;

  // Creates the directory and opens the file now rather than at the first line, so that a
  // bad directory is reported at start-up. Returns false when no file could be opened.
  bool open();
  // Appends one line (the caller supplies the '\n'). Returns false when it did not reach the
  // file. Thread-safe.
  bool write(std::string_view line);
  // fdatasync of the current file.
  void sync();
  // The file being written, empty while none is open.
  std::filesystem::path currentPath() const;

 private:
  bool ensureOpen(std::chrono::system_clock::time_point now);
  bool openExistingOrNew(std::chrono::system_clock::time_point now);
  bool openNew(std::chrono::system_clock::time_point now);
  bool openFile(const std::filesystem::path& path, std::chrono::system_clock::time_point start);
  bool needsRoll(size_t lineSize, std::chrono::system_clock::time_point now) const;
  void rotate(std::chrono::system_clock::time_point now);
  void removeOldFiles();
  void closeFile();
  void complain(const std::string& text);

  const RollingFileSettings settings_;
  const Clock clock_;
  const Complaint complaint_;

  mutable std::mutex mutex_;
  int fd_ = -1;
  std::filesystem::path path_;
  uint64_t size_ = 0;
  std::chrono::system_clock::time_point fileStart_{};
  std::chrono::system_clock::time_point lastComplaint_{};
  bool complained_ = false;
};

}  // namespace P7
