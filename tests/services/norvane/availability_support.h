// Shared pieces of the availability tests: captured records, a throwing exit routine and
// bounded waits.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "p7_trace.h"
#include "service_state.h"

namespace norvane::testing {

struct Record {
  int level;
  std::string text;
  bool operator==(const Record&) const = default;
};

inline void PrintTo(const Record& record, std::ostream* out) {
  *out << "{" << record.level << ", \"" << record.text << "\"}";
}

// Every record written while it lives, from any thread.
class RecordLog {
 public:
  RecordLog()
      : capture_([this](int level, const std::string& text) {
          std::lock_guard<std::mutex> lock(mutex_);
          records_.push_back({level, text});
        }) {}

  std::vector<Record> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  // Records at error level and above.
  std::vector<Record> errors() const {
    std::vector<Record> found;
    for (const auto& record : records()) {
      if (record.level >= P7::kError) {
        found.push_back(record);
      }
    }
    return found;
  }
  bool contains(const Record& wanted) const {
    for (const auto& record : records()) {
      if (record == wanted) {
        return true;
      }
    }
    return false;
  }
  std::size_t count(const Record& wanted) const {
    std::size_t n = 0;
    for (const auto& record : records()) {
      n += record == wanted ? 1 : 0;
    }
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  P7::RecordCapture capture_;
};

// Thrown by the exit routine while an ExitTrap lives, so exits unwind back into the test.
struct ExitCalled {
  int status;
};

class ExitTrap {
 public:
  ExitTrap() : previous_(setExitHandler([](int status) { throw ExitCalled{status}; })) {}
  ~ExitTrap() { setExitHandler(std::move(previous_)); }
  ExitTrap(const ExitTrap&) = delete;
  ExitTrap& operator=(const ExitTrap&) = delete;

 private:
  ExitHandler previous_;
};

// Polls @p condition until it holds or @p timeout has passed.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace norvane::testing
