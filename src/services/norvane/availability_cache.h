// The live-value cache: last value and range of every configured control.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt_async_wrapper.h"
#include "service_state.h"

namespace norvane {

// Thread body; never returns.
void cache_map_sync(const std::string& serverUri = kavrion::mosquitto::kDefaultServerUri);

// The collection step's read of one control key: ends the process with status 3 when the
// cache has not been updated for longer than m_timeout_s; otherwise returns the record (and
// resets its min and max to its value), or nothing when the key is not cached.
std::optional<data_t> readCacheRecord(const std::string& controlKey);

// Resets the range of one record without the staleness check (devices that are unavailable
// must not carry their outage's range into the first window after they recover).
void discardCacheRecord(const std::string& controlKey);

// The thread body up to the status the process must end with: 1 when nothing arrived in
// time, 2 on a flood of unusable messages, 4 when an error escaped ("Fatal error" record).
// The receive timeout is m_timeout_s, capped by @p timeoutCap (tests wait less).
int runCacheSync(const std::string& serverUri,
                 std::chrono::milliseconds timeoutCap = std::chrono::milliseconds::max());

// Ten live windows.
inline constexpr std::chrono::minutes kSilentControlAfter{10};

// Configured controls that deliver nothing. A broker may acknowledge a subscription and then
// withhold its messages (an access list): the cell would be missing from every meter message
// without a word. Each control that delivers no value for kSilentControlAfter after a start
// or a reconnect is recorded once, and once more when it delivers again.
class SilentControls {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit SilentControls(Clock now = std::chrono::steady_clock::now) : now_(std::move(now)) {}

  void expect(std::string_view device, std::string_view control);
  // A start or a reconnect: every control is to deliver again.
  void restart();
  void delivered(const std::string& controlKey);
  // Records the controls that have been silent since the restart for too long.
  void check();

 private:
  // Kept small: a controller may have thousands of controls.
  struct Control {
    std::string key;  // "<device>.<control>"
    uint32_t deviceLength;
    bool deliveredSinceRestart = false;
    bool recorded = false;
    std::string_view device() const { return std::string_view(key).substr(0, deviceLength); }
    std::string_view control() const { return std::string_view(key).substr(deviceLength + 1); }
  };
  Control* find(const std::string& controlKey);
  static bool byKey(const Control& a, const Control& b) { return a.key < b.key; }

  Clock now_;
  std::vector<Control> controls_;  // sorted by key from the first restart on
  std::chrono::steady_clock::time_point since_;
  std::size_t awaited_ = 0;  // controls that have not delivered since the restart
};

// Parses the configuration text again, subscribes the control topics of every configured
// cell (retained values skipped for kind 1), tells @p silent to expect them and sets
// m_timeout_s.
void subscribeConfiguredControls(kavrion::mosquitto::MqttAsyncWrapper& client,
                                 SilentControls& silent);

// The per-message work of the cache thread, with its count of unusable messages.
class CacheUpdater {
 public:
  explicit CacheUpdater(int32_t errorCount = 0, SilentControls* silent = nullptr)
      : error_count_(errorCount), silent_(silent) {}

  // Applies one received message; returns the exit status when the process must end.
  std::optional<int> handle(const kavrion::mosquitto::msg_t& message);

  int32_t errorCount() const { return error_count_; }

 private:
  void countUnusable();

  // Unusable messages since the last one on a well-formed control topic.
  int32_t error_count_;
  SilentControls* silent_;
  // Reused for every message so that the hot path rarely allocates.
  std::string text_;
  std::string key_;
};

}  // namespace norvane
