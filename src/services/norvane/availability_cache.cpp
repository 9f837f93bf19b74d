// The live-value cache: last value and range of every configured control.
#include "availability_cache.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "control_topic.h"
#include "io_info.h"
#include "p7_trace.h"

namespace norvane {
namespace {

using kavrion::mosquitto::MqttAsyncWrapper;
using kavrion::mosquitto::msg_t;
using kavrion::mosquitto::Qos;

constexpr const char* kClientId = "db_listener_cache_sync";
constexpr int32_t kElectricityTimeoutS = 300;
constexpr int32_t kDefaultTimeoutS = 1800;
constexpr int32_t kUnusableLimit = 100;
// Live values are taken in small batches: waking this thread for every single value costs
// more than the value's own work (a futex wake and two context switches per value). A value
// reaches the cache at most this much later, far less than the collection step's 100 ms
// clock polling; a quiet bus is not polled, as the pause follows a message only.
constexpr std::chrono::milliseconds kBatchPause{5};
// How often the silent controls and a reconnect are looked for.
constexpr std::chrono::milliseconds kCheckInterval{10000};

// A NaN never widens the range, and a range left NaN by an earlier NaN read is taken over by
// the next number: otherwise every later comparison fails and the range stays NaN for ever.
void updateRecord(data_t& record, double number) {
  record.value = number;
  if (std::isnan(number)) {
    return;
  }
  if (std::isnan(record.max) || number > record.max) {
    record.max = number;
  }
  if (std::isnan(record.min) || number < record.min) {
    record.min = number;
  }
}

void storeValue(const std::string& key, double number) {
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  const auto found = m_cache.find(key);
  if (found == m_cache.end()) {
    m_cache.emplace(key, data_t{number, number, number});
  } else {
    updateRecord(found->second, number);
  }
  m_last_update_cache = std::chrono::steady_clock::now();
}

void closeRange(data_t& record) {
  record.min = record.value;
  record.max = record.value;
}

int32_t timeoutFor(const std::string& configurationText) {
  return configurationText.find("meter_electricity") != std::string::npos ? kElectricityTimeoutS
                                                                          : kDefaultTimeoutS;
}

std::chrono::milliseconds receiveTimeout(std::chrono::milliseconds cap) {
  return std::min<std::chrono::milliseconds>(std::chrono::seconds(m_timeout_s.load()), cap);
}

int runCacheLoop(MqttAsyncWrapper& client, std::chrono::milliseconds timeoutCap,
                 SilentControls& silent) {
  using Clock = std::chrono::steady_clock;
  CacheUpdater updater(0, &silent);
  uint64_t connections = client.connectionCount();
  auto lastMessage = Clock::now();
  auto nextCheck = lastMessage;
  bool received = false;
  for (;;) {
    const auto now = Clock::now();  // once per message: thousands arrive a second
    if (received) lastMessage = now;
    if (now >= nextCheck) {
      nextCheck = now + kCheckInterval;
      if (client.connectionCount() != connections) {
        connections = client.connectionCount();
        silent.restart();
      }
      silent.check();
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(receiveTimeout(timeoutCap) -
                                                                   (now - lastMessage));
    if (left <= std::chrono::milliseconds::zero()) return kExitNoData;  // the status says it
    msg_t message;
    received = false;
    try {
      message = client.Receive("/#", std::min(left, kCheckInterval));
    } catch (const std::runtime_error&) {
      continue;  // a slice ran out: the time since the last message decides above
    }
    received = true;
    if (const auto status = updater.handle(message)) {
      return *status;
    }
    if (client.queuedMessages() == 0) {
      std::this_thread::sleep_for(kBatchPause);
    }
  }
}

}  // namespace

std::optional<int> CacheUpdater::handle(const msg_t& message) {
  if (message.payload.empty()) {
    if (error_count_ > kUnusableLimit) {
      return kExitBadPayloads;
    }
    countUnusable();
    return std::nullopt;
  }
  const auto topic = matchControlTopic(message.topic);
  if (!topic) {
    countUnusable();
    return std::nullopt;
  }
  error_count_ = 0;
  key_.assign(topic->device).append(".").append(topic->control);
  text_.assign(message.payload.begin(), message.payload.end());
  double number = 0.0;
  try {
    number = parseControlValue(text_);
  } catch (const std::invalid_argument& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Invalid argument:  %s. Value: \"%s\" ", e.what(),
             P7::excerpt(text_).c_str());
    return std::nullopt;
  } catch (const std::out_of_range& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Out of range: %s. Value: \"%s\" ", e.what(),
             P7::excerpt(text_).c_str());
    return std::nullopt;
  }
  storeValue(key_, number);
  if (silent_ != nullptr) silent_->delivered(key_);
  return std::nullopt;
}

// Saturates: a misconfigured control that never matches must not overflow it after months.
void CacheUpdater::countUnusable() {
  if (error_count_ < std::numeric_limits<int32_t>::max()) {
    ++error_count_;
  }
}

void SilentControls::expect(std::string_view device, std::string_view control) {
  std::string key;
  key.reserve(device.size() + 1 + control.size());
  key.append(device).append(1, '.').append(control);
  controls_.push_back({std::move(key), static_cast<uint32_t>(device.size())});
}

void SilentControls::restart() {
  if (!std::is_sorted(controls_.begin(), controls_.end(), byKey)) {
    std::sort(controls_.begin(), controls_.end(), byKey);
    // A cell configured twice is one control.
    controls_.erase(std::unique(controls_.begin(), controls_.end(),
                                [](const Control& a, const Control& b) { return a.key == b.key; }),
                    controls_.end());
  }
  since_ = now_();
  awaited_ = controls_.size();
  for (Control& control : controls_) control.deliveredSinceRestart = false;
}

SilentControls::Control* SilentControls::find(const std::string& controlKey) {
  const auto found = std::lower_bound(
      controls_.begin(), controls_.end(), controlKey,
      [](const Control& control, const std::string& key) { return control.key < key; });
  return found != controls_.end() && found->key == controlKey ? &*found : nullptr;
}

void SilentControls::delivered(const std::string& controlKey) {
  if (awaited_ == 0) return;  // the usual case: one test per value
  Control* control = find(controlKey);
  if (control == nullptr || control->deliveredSinceRestart) return;
  control->deliveredSinceRestart = true;
  --awaited_;
  if (!std::exchange(control->recorded, false)) return;
  const std::string name(control->control());
  const std::string device(control->device());
  NV_TRACE(P7::getTrace(), P7::kInfo, "Control \"%s\" of device \"%s\" delivers again",
           name.c_str(), device.c_str());
}

void SilentControls::check() {
  if (awaited_ == 0 || now_() - since_ < kSilentControlAfter) return;
  for (Control& control : controls_) {
    if (control.deliveredSinceRestart || std::exchange(control.recorded, true)) continue;
    const std::string name(control.control());
    const std::string device(control.device());
    NV_TRACE(P7::getTrace(), P7::kWarning,
             "Control \"%s\" of device \"%s\" has delivered no value on %s for %ld minutes: "
             "its cell is missing from the meter messages",
             name.c_str(), device.c_str(), controlTopicOf(device, name).c_str(),
             static_cast<long>(kSilentControlAfter.count()));
  }
}

void subscribeConfiguredControls(MqttAsyncWrapper& client, SilentControls& silent) {
  // Retained values of kind-1 devices must not count as live: two batches by that flag.
  std::vector<std::string> live;
  std::vector<std::string> skippingRetained;
  {
    // First in, last out: its trim runs once the document and the map are freed, so the
    // parsing's peak goes back to the system before the subscriptions take their share.
    kavrion::TemplateCacheCleanupGuard guard(true);
    const auto document = nlohmann::json::parse(configuration, nullptr, true, false);
    const auto ioMap = kavrion::parseIoStructure<kavrion::IoInfo>(document, guard, true);
    for (const auto& [id, entry] : ioMap) {
      auto& topics = entry->kind == 1 ? skippingRetained : live;
      for (const auto& cell : entry->getCells()) {
        topics.push_back(controlTopicOf(entry->deviceName, cell));
        silent.expect(entry->deviceName, cell);
      }
    }
  }
  client.SubscribeMany(live, Qos::AtMostOnce, false);
  client.SubscribeMany(skippingRetained, Qos::AtMostOnce, true);
  m_timeout_s = timeoutFor(configuration);
  silent.restart();
}

int runCacheSync(const std::string& serverUri, std::chrono::milliseconds timeoutCap) {
  const auto status = runOnConnectedClient(kClientId, serverUri,
                                           [&](MqttAsyncWrapper& client) -> std::optional<int> {
                                             SilentControls silent;
                                             subscribeConfiguredControls(client, silent);
                                             return runCacheLoop(client, timeoutCap, silent);
                                           });
  return status.value_or(kExitFatal);
}

void cache_map_sync(const std::string& serverUri) { exitService(runCacheSync(serverUri)); }

std::optional<data_t> readCacheRecord(const std::string& controlKey) {
  std::optional<data_t> record;
  bool stale = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex_cache);
    // Whole seconds, as the limit is given: exactly m_timeout_s old still counts as fresh.
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - m_last_update_cache);
    stale = age > std::chrono::seconds(m_timeout_s.load());
    if (!stale) {
      const auto found = m_cache.find(controlKey);
      if (found != m_cache.end()) {
        record = found->second;
        closeRange(found->second);
      }
    }
  }
  if (stale) {
    exitService(kExitStaleCache);
  }
  return record;
}

void discardCacheRecord(const std::string& controlKey) {
  std::lock_guard<std::mutex> lock(m_mutex_cache);
  const auto found = m_cache.find(controlKey);
  if (found != m_cache.end()) {
    closeRange(found->second);
  }
}

}  // namespace norvane
