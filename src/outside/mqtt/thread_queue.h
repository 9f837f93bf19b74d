// Bounded, thread-safe FIFO queue that hands received messages from Paho's threads to the owner.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace kavrion::mosquitto {

/// Counts every item as 1; the default when only the number of items is bounded.
struct UnitCost {
  template <typename T>
  std::size_t operator()(const T&) const {
    return 1;
  }
};

/// FIFO bounded by a number of items and by a total cost (e.g. bytes). When a put would pass
/// either bound, the oldest items are dropped: the newest data is what a consumer wants.
template <typename T, typename CostOf = UnitCost>
class ThreadQueue {
 public:
  ThreadQueue(std::size_t maxItems, std::size_t maxCost, CostOf costOf = CostOf{})
      : maxItems_(maxItems), maxCost_(maxCost), costOf_(std::move(costOf)) {}

  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  /// Appends @p item, dropping the oldest items while a bound is passed. The newest item is
  /// always kept, even when it alone passes the cost bound.
  /// @return how many items were dropped to make room
  std::size_t put(T item) {
    std::size_t dropped = 0;
    {
      std::lock_guard lock(mutex_);
      cost_ += costOf_(item);
      items_.push_back(std::move(item));
      while (items_.size() > 1 && (items_.size() > maxItems_ || cost_ > maxCost_)) {
        cost_ -= costOf_(items_.front());
        items_.pop_front();
        ++dropped;
      }
      dropped_ += dropped;
    }
    ready_.notify_one();
    return dropped;
  }

  /// Moves the oldest item into @p out, waiting at most @p timeout for one to arrive.
  /// @return false when the time ran out with the queue still empty
  template <typename Rep, typename Period>
  bool try_get_for(T* out, std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !items_.empty(); })) return false;
    takeFront(out);
    return true;
  }

  /// Moves the oldest item into @p out, waiting without limit.
  void get(T* out) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !items_.empty(); });
    takeFront(out);
  }

  /// Drops every queued item. @return how many there were
  std::size_t clear() {
    std::lock_guard lock(mutex_);
    const std::size_t count = items_.size();
    items_.clear();
    cost_ = 0;
    return count;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

  /// How many items overflow dropped since the last call.
  std::size_t take_dropped() {
    std::lock_guard lock(mutex_);
    return std::exchange(dropped_, 0);
  }

 private:
  void takeFront(T* out) {
    cost_ -= costOf_(items_.front());
    *out = std::move(items_.front());
    items_.pop_front();
  }

  const std::size_t maxItems_;
  const std::size_t maxCost_;
  CostOf costOf_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
  std::size_t cost_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace kavrion::mosquitto
