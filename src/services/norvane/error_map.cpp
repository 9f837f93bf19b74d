// Device availability from the error states on the entries' ping topics.
#include "error_map.h"

#include <stdexcept>

#include "p7_trace.h"
#include "service_state.h"

namespace norvane {
namespace {

using kavrion::mosquitto::MqttAsyncWrapper;
using kavrion::mosquitto::msg_t;
using kavrion::mosquitto::Qos;

constexpr const char* kClientId = "db_listener_error_handler";

// Keys are fixed before this thread starts, so they are read without the lock.
void subscribePingTopics(MqttAsyncWrapper& client) {
  for (const auto& [pingTopic, state] : m_error_map) {
    client.Subscribe(pingTopic, Qos::AtMostOnce, false);
  }
}

enum class Lookup { kUnknown, kFailing, kCleared };

Lookup recordErrorState(const std::string& topic, bool failing) {
  std::lock_guard<std::mutex> lock(m_mutex_error_map);
  const auto found = m_error_map.find(topic);
  if (found == m_error_map.end()) {
    return Lookup::kUnknown;
  }
  found->second.available = !failing;
  return failing ? Lookup::kFailing : Lookup::kCleared;
}

// An error that cleared while the client was away is never seen again: after a reconnect
// every device counts as available, and renewing the subscriptions makes the broker replay
// the error states it keeps retained, which mark the devices that still fail.
void renewAfterReconnect(MqttAsyncWrapper& client) {
  NV_TRACE(P7::getTrace(), P7::kInfo, "Error states renewed after a reconnect");
  markAllAvailable();
  subscribePingTopics(client);
}

std::optional<int> runErrorMapLoop(MqttAsyncWrapper& client, const std::stop_token& stop,
                                   std::chrono::milliseconds checkInterval) {
  uint64_t seenConnections = client.connectionCount();
  while (!stop.stop_requested()) {
    msg_t message;
    bool received = true;
    // Bounded waits, so that a reconnect is noticed on a quiet bus too.
    try {
      message = client.Receive("/#", checkInterval);
    } catch (const std::runtime_error&) {
      received = false;
    }
    const uint64_t connections = client.connectionCount();
    if (connections != seenConnections) {
      seenConnections = connections;
      renewAfterReconnect(client);
    }
    if (received) {
      applyErrorMessage(message);
    }
  }
  return std::nullopt;
}

}  // namespace

void initErrorMap(const kavrion::IoMap& ioMap) {
  {
    std::lock_guard<std::mutex> lock(m_mutex_error_map);
    m_error_map.clear();
  }
  for (const auto& [id, entry] : ioMap) {
    const std::string pingTopic = entry->getPingTopic();
    if (pingTopic.empty()) {
      NV_TRACE(P7::getTrace(), P7::kError, "Невозможно определить доступность %s", id.c_str());
      continue;
    }
    // Entries that share a ping topic share one state.
    std::lock_guard<std::mutex> lock(m_mutex_error_map);
    m_error_map.try_emplace(pingTopic, available_data_t{true});
  }
}

void applyErrorMessage(const msg_t& message) {
  if (message.topic.empty()) {
    return;
  }
  const std::string payload(message.payload.begin(), message.payload.end());
  switch (recordErrorState(message.topic, !payload.empty())) {
    case Lookup::kFailing:
      NV_TRACE(P7::getTrace(), P7::kInfo, "%s %s", P7::excerpt(message.topic).c_str(),
               P7::excerpt(payload).c_str());
      break;
    case Lookup::kCleared:
      NV_TRACE(P7::getTrace(), P7::kInfo, "%s null", P7::excerpt(message.topic).c_str());
      break;
    case Lookup::kUnknown:
      NV_TRACE(P7::getTrace(), P7::kError, "Получен не известный топик %s с ошибкой %s",
               P7::excerpt(message.topic).c_str(), P7::excerpt(payload).c_str());
      break;
  }
}

void markAllAvailable() {
  std::lock_guard<std::mutex> lock(m_mutex_error_map);
  for (auto& [pingTopic, state] : m_error_map) {
    state.available = true;
  }
}

std::optional<int> runErrorMapSync(const std::string& serverUri, std::stop_token stop,
                                   std::chrono::milliseconds checkInterval) {
  return runOnConnectedClient(kClientId, serverUri, [&](MqttAsyncWrapper& client) {
    subscribePingTopics(client);
    return runErrorMapLoop(client, stop, checkInterval);
  });
}

void error_map_sync(const std::string& serverUri) {
  exitService(runErrorMapSync(serverUri, std::stop_token{}).value_or(kExitFatal));
}

}  // namespace norvane
