// MQTT client of the service: one connection with its own client id and receive queue,
// over Eclipse Paho's asynchronous C client.
#pragma once

#include <MQTTAsync.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kavrion::mosquitto {

/// Broker the service uses unless a test hands another URI to the constructor.
extern const char* const kDefaultServerUri;

enum class Qos : int { AtMostOnce = 0, AtLeastOnce = 1, ExactlyOnce = 2 };

struct msg_t {
  std::string topic;
  std::vector<uint8_t> payload;
  uint8_t retained = 0;  ///< the broker replayed it as a retained message
};

using OnSuccess = void (*)(void*, MQTTAsync_successData*);
using OnFailure = void (*)(void*, MQTTAsync_failureData*);

/// True when @p topic matches the subscription filter @p filter by MQTT wildcard rules.
bool topicMatches(std::string_view filter, std::string_view topic);

class MqttAsyncWrapper {
 public:
  /// @param clientId MQTT client id of the connection.
  explicit MqttAsyncWrapper(const std::string& clientId);
  /// @param serverUri broker, e.g. "tcp://127.0.0.1:1883".
  MqttAsyncWrapper(const std::string& clientId, const std::string& serverUri);
  ~MqttAsyncWrapper();
  MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
  MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

  /// Connects; returns once connected or after 10 s without a broker. With @p autoReconnect
  /// the client reconnects by itself and renews every subscription after each connect.
  void Connect(bool autoReconnect, OnSuccess onSuccess = nullptr, OnFailure onFailure = nullptr);

  /// Subscribes (now, or on the next connect). With @p skipRetained, retained messages the
  /// broker replays for this subscription are not returned by Receive.
  void Subscribe(const std::string& topic, Qos qos, bool skipRetained,
                 OnSuccess onSuccess = nullptr, OnFailure onFailure = nullptr);

  /// Forgets the subscription; does not throw while disconnected.
  void Unsubscribe(const std::string& topic);

  /// Publishes; never throws for a disconnected client (QoS 1/2 messages are delivered
  /// after the reconnect).
  void Send(const std::string& topic, const std::string& payload, Qos qos, bool retained);

  /// Next queued message whose topic matches @p filter; non-matching messages are dropped.
  /// @param timeoutSeconds 0 waits without limit.
  /// @throws std::runtime_error `no message on "<filter>" within <N> s`
  msg_t Receive(const std::string& filter, int timeoutSeconds);
  /// The same with a finer timeout (tests); zero waits without limit.
  msg_t Receive(const std::string& filter, std::chrono::milliseconds timeout);

  /// Drops every queued message.
  void ClearRecievedQueue();

  /// How many times the client has connected so far.
  uint64_t connectionCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kavrion::mosquitto
