// Collects the log records written while it lives, for exact assertions on their texts.
#pragma once

#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "p7_trace.h"

namespace norvane::testing {

struct Record {
  int level;
  std::string text;
  bool operator==(const Record&) const = default;
};

inline void PrintTo(const Record& record, std::ostream* out) {
  *out << "{" << record.level << ", \"" << record.text << "\"}";
}

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

  // The texts of the records at @p level, in order.
  std::vector<std::string> texts(int level) const {
    std::vector<std::string> result;
    for (const auto& record : records()) {
      if (record.level == level) result.push_back(record.text);
    }
    return result;
  }

  std::vector<Record> atLevel(int level) const {
    std::vector<Record> found;
    for (const auto& record : records()) {
      if (record.level == level) found.push_back(record);
    }
    return found;
  }

  // Records at error level and above.
  std::vector<Record> errors() const {
    std::vector<Record> found;
    for (const auto& record : records()) {
      if (record.level >= P7::kError) found.push_back(record);
    }
    return found;
  }

  std::size_t count(const Record& wanted) const {
    std::size_t n = 0;
    for (const auto& record : records()) n += record == wanted ? 1 : 0;
    return n;
  }

  bool contains(const Record& wanted) const { return count(wanted) > 0; }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  P7::RecordCapture capture_;  // last: destroyed first, before the records it writes into
};

}  // namespace norvane::testing
