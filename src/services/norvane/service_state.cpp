// Definitions of the process-wide state and the exit routine.
#include "service_state.h"

#include <cstdlib>
#include <utility>

#include "mqtt_async_wrapper.h"
#include "p7_trace.h"

namespace norvane {

std::string configuration;
std::string send_topic;
std::string bd_topic;
uint16_t topic_counter = 0;

std::unordered_map<std::string, available_data_t> m_error_map;
std::mutex m_mutex_error_map;

std::unordered_map<std::string, data_t> m_cache;
std::mutex m_mutex_cache;
std::chrono::steady_clock::time_point m_last_update_cache = std::chrono::steady_clock::now();
std::atomic<int32_t> m_timeout_s{1800};

namespace {
std::mutex& exitHandlerMutex() {
  static std::mutex mutex;
  return mutex;
}
ExitHandler& exitHandler() {
  static ExitHandler handler;
  return handler;
}
}  // namespace

ExitHandler setExitHandler(ExitHandler handler) {
  std::lock_guard<std::mutex> lock(exitHandlerMutex());
  return std::exchange(exitHandler(), std::move(handler));
}

void exitService(int status) {
  ExitHandler handler;
  {
    std::lock_guard<std::mutex> lock(exitHandlerMutex());
    handler = exitHandler();
  }
  if (handler) {
    handler(status);  // a test handler throws to unwind back into the test
  }
  P7::getTrace()->Flush();
  std::_Exit(status);
}

std::optional<int> runOnConnectedClient(const char* clientId, const std::string& serverUri,
                                        const ClientBody& body) {
  try {
    kavrion::mosquitto::ClientOptions options;
    options.serverUri = serverUri;
    options.maxPayloadBytes = kMaxValuePayloadBytes;
    kavrion::mosquitto::MqttAsyncWrapper client(clientId, options);
    client.Connect(true);
    return body(client);
  } catch (const std::exception& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Fatal error: %s", P7::excerpt(e.what()).c_str());
  } catch (...) {
    NV_TRACE(P7::getTrace(), P7::kError, "Fatal error: %s", "unknown exception");
  }
  return kExitFatal;
}

}  // namespace norvane
