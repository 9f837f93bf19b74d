// Process-wide state shared by the service's threads, and the one way the process ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace kavrion::mosquitto {
class MqttAsyncWrapper;
}

namespace norvane {

// The configuration text; written before the availability threads start, read-only after.
extern std::string configuration;

// History call topics and their counter; collection thread only.
extern std::string send_topic;
extern std::string bd_topic;
extern uint16_t topic_counter;

struct available_data_t {
  bool available = true;
};
// Ping topic -> availability. Keys are fixed before the threads start.
extern std::unordered_map<std::string, available_data_t> m_error_map;
extern std::mutex m_mutex_error_map;

struct data_t {
  double value;
  double min;
  double max;
};
// Control key "<device>.<control>" -> live value and its range since the last read.
extern std::unordered_map<std::string, data_t> m_cache;
// Guards m_cache and m_last_update_cache. Never held together with m_mutex_error_map.
extern std::mutex m_mutex_cache;
// Monotonic, so that a step of the wall clock cannot look like a silent bus.
extern std::chrono::steady_clock::time_point m_last_update_cache;
extern std::atomic<int32_t> m_timeout_s;

// Exit statuses of the process.
enum ExitStatus : int {
  kExitDone = 0,          // no I/O entry, or the 48-hour horizon was passed
  kExitNoData = 1,        // no configuration, bad configuration, or a silent bus
  kExitBadPayloads = 2,   // a flood of empty payloads
  kExitStaleCache = 3,    // a current step found the cache stale
  kExitFatal = 4,         // an error escaped a thread or a pass
};

// Ends the process at once from any thread: flushes the log and calls std::_Exit, without
// running static destructors under running threads. Tests replace the handler; a handler
// that returns is followed by std::_Exit all the same.
[[noreturn]] void exitService(int status);
using ExitHandler = std::function<void(int status)>;
// Returns the previous handler; an empty handler restores the default.
ExitHandler setExitHandler(ExitHandler handler);

// A control value or a ping state is a short text; anything longer is dropped on arrival.
inline constexpr std::size_t kMaxValuePayloadBytes = 4096;

// An availability thread's body on a client of its own, connected first, that takes values
// of at most kMaxValuePayloadBytes: what @p body returns, or kExitFatal once an error that
// escaped it is recorded ("Fatal error: <what>").
using ClientBody = std::function<std::optional<int>(kavrion::mosquitto::MqttAsyncWrapper&)>;
std::optional<int> runOnConnectedClient(const char* clientId, const std::string& serverUri,
                                        const ClientBody& body);

}  // namespace norvane
