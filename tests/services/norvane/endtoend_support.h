// Shared pieces of the history, response and collection step tests: configured entries,
// captured records and a throwing exit routine.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "io_info.h"
#include "p7_trace.h"
#include "service_state.h"

namespace norvane::endtoend {

inline std::unique_ptr<kavrion::IoInfo> makeEntry(const std::string& device,
                                                  std::vector<std::string> cells,
                                                  const std::string& pingTopic = "",
                                                  const std::string& type = "meter_electricity") {
  auto io = std::make_unique<kavrion::IoInfo>();
  io->deviceName = device;
  io->type = type;
  io->pingTopic = pingTopic;
  for (const std::string& cell : cells) {
    io->cellByTopic[cell] = cell;
  }
  io->cells = std::move(cells);
  return io;
}

struct Record {
  int level;
  std::string text;
  bool operator==(const Record&) const = default;
};

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
  std::vector<Record> atLevel(int level) const {
    std::vector<Record> found;
    for (const Record& record : records()) {
      if (record.level == level) {
        found.push_back(record);
      }
    }
    return found;
  }
  bool contains(const Record& wanted) const {
    for (const Record& record : records()) {
      if (record == wanted) {
        return true;
      }
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  P7::RecordCapture capture_;
};

struct ExitCalled {
  int status;
};

// Makes the exit routine throw ExitCalled while it lives.
class ExitTrap {
 public:
  ExitTrap()
      : previous_(setExitHandler([](int status) { throw ExitCalled{status}; })) {}
  ~ExitTrap() { setExitHandler(previous_); }
  ExitTrap(const ExitTrap&) = delete;
  ExitTrap& operator=(const ExitTrap&) = delete;

 private:
  ExitHandler previous_;
};

}  // namespace norvane::endtoend
