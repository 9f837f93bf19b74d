// MQTT client of the service: one connection with its own client id and receive queue,
// over Eclipse Paho's asynchronous C client.
//
// Delivery guarantees. The client keeps a persistent MQTT session (clean session off), so
// QoS 1/2 messages that were in flight when the connection dropped are completed by Paho
// after the reconnect, and the broker keeps its half of the QoS 2 exchange across the
// outage. QoS 1/2 messages sent while disconnected wait in the client's in-memory offline
// buffer (no persistence on disk; bounded by count and bytes, oldest dropped with a warning)
// and are handed to Paho, in order, once connected. QoS 0 messages sent while disconnected
// are dropped at once: at-most-once allows it, and they must not push a QoS 2 message out of
// the offline buffer. Received messages larger than a bound are dropped on arrival, before
// anything copies them; much larger ones the broker does not send at all (MQTT 5). Each (re)connect makes every remembered
// subscription again. The session spans the reconnects of one object only: its first Connect
// ends, through a short clean-session connection, any session an earlier run left under the
// same client id (when the broker is reachable then; otherwise Receive still returns only
// messages of the object's own current subscriptions).
#pragma once

#include <MQTTAsync.h>

#include <chrono>
#include <cstddef>
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

/// Limits and broker of a client; the defaults are the service's.
struct ClientOptions {
  std::string serverUri = kDefaultServerUri;
  std::size_t receiveQueueMessages = 100000;
  std::size_t receiveQueueBytes = 64 * 1024 * 1024;
  /// QoS 1/2 messages kept while disconnected (about a week of per-minute messages), and the
  /// bytes of their topics and payloads (a long outage at thousands of controls would
  /// otherwise buffer a gigabyte).
  int offlineBufferMessages = 10000;
  std::size_t offlineBufferBytes = 16 * 1024 * 1024;
  /// Received payloads larger than this are dropped on arrival. The broker is told at connect
  /// not to send packets larger than this and 64 KiB (MQTT 5 Maximum Packet Size): it discards
  /// those itself, and the client learns nothing of them.
  std::size_t maxPayloadBytes = 16 * 1024 * 1024;
};

using OnSuccess = void (*)(void*, MQTTAsync_successData*);
using OnFailure = void (*)(void*, MQTTAsync_failureData*);

/// The payload as text. Taken by value: the message's own copy is freed on return, before
/// the caller parses the text.
std::string payloadText(msg_t message);

/// The text of the error Receive throws when @p timeout passed without a message on
/// @p filter; callers that wait in slices report their whole wait with it.
std::string noMessageText(const std::string& filter, std::chrono::milliseconds timeout);

/// True when @p topic matches the subscription filter @p filter by MQTT wildcard rules.
bool topicMatches(std::string_view filter, std::string_view topic);

class MqttAsyncWrapper {
 public:
  /// @param clientId MQTT client id of the connection.
  explicit MqttAsyncWrapper(const std::string& clientId);
  /// @param serverUri broker, e.g. "tcp://127.0.0.1:1883".
  MqttAsyncWrapper(const std::string& clientId, const std::string& serverUri);
  /// @param options broker and limits (tests shrink the limits).
  MqttAsyncWrapper(const std::string& clientId, const ClientOptions& options);
  ~MqttAsyncWrapper();
  MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
  MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

  /// Connects; returns once connected or after 10 s without a broker (a warning is logged);
  /// the client is usable either way. With @p autoReconnect Paho keeps trying, also after a
  /// failed first attempt, every 1 to 5 s, and reconnects after every loss; each connect
  /// renews every subscription. Calling it again while connected does nothing.
  /// @param onSuccess, onFailure Paho's callbacks of the first attempt; their context is this
  ///        object.
  /// @throws std::runtime_error when Paho refuses to start connecting
  void Connect(bool autoReconnect, OnSuccess onSuccess = nullptr, OnFailure onFailure = nullptr);

  /// Subscribes (now, or on the next connect). With @p skipRetained, retained messages the
  /// broker replays for this subscription are not returned by Receive (it filters them when
  /// it takes them from the queue). While connected it waits up to 5 s for the broker's
  /// acknowledgement, so messages published afterwards are received.
  /// @param onSuccess, onFailure Paho's callbacks of this request; their context is this object.
  /// @throws std::runtime_error for an invalid filter or a request Paho refuses
  void Subscribe(const std::string& topic, Qos qos, bool skipRetained,
                 OnSuccess onSuccess = nullptr, OnFailure onFailure = nullptr);

  /// Subscribes many filters with one request per batch and one wait for each batch's
  /// acknowledgement, instead of one round trip per filter (thousands of controls would
  /// otherwise take minutes to subscribe). Same rules as Subscribe for each filter.
  /// @throws std::runtime_error for an invalid filter (nothing subscribed) or a refused request
  void SubscribeMany(const std::vector<std::string>& topics, Qos qos, bool skipRetained);

  /// Forgets the subscription: queued and later messages that only it matched are no longer
  /// returned. Does not throw while disconnected (the broker is told on the next connect).
  /// @throws std::runtime_error for a request Paho refuses while connected
  void Unsubscribe(const std::string& topic);

  /// Publishes; never throws for a disconnected client (QoS 1/2 messages are delivered
  /// after the reconnect, at least once; QoS 0 messages are dropped).
  /// @throws std::runtime_error for a topic with wildcards, an empty topic or a refused request
  void Send(const std::string& topic, const std::string& payload, Qos qos, bool retained);

  /// Next queued message whose topic matches @p filter; non-matching messages are dropped.
  /// Retained messages of skipRetained subscriptions and messages of topics no longer
  /// subscribed are dropped as well.
  /// @param timeoutSeconds 0 waits without limit; a negative value does not wait.
  /// @throws std::runtime_error `no message on "<filter>" within <N> s`
  msg_t Receive(const std::string& filter, int timeoutSeconds);
  /// The same with a finer timeout (tests); zero waits without limit.
  msg_t Receive(const std::string& filter, std::chrono::milliseconds timeout);

  /// Drops every queued message.
  void ClearRecievedQueue();

  /// Received payloads larger than @p bytes are dropped from now on, when they arrive and
  /// before they are copied, with a warning per topic at most once a minute; the memory the
  /// library read them into goes back to the system. What the broker was told at connect
  /// stays as it was.
  void SetMaxPayloadBytes(std::size_t bytes);

  /// How many times the client has connected so far.
  uint64_t connectionCount() const;

  /// Whether the connection to the broker is up right now.
  bool isConnected() const;

  /// How many received messages wait in the queue (diagnostics and tests).
  std::size_t queuedMessages() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kavrion::mosquitto
