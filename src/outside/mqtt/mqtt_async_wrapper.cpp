// MQTT client over Paho's asynchronous C client: subscriptions that survive reconnects, an
// offline send buffer and a bounded receive queue.
#include "mqtt_async_wrapper.h"

#include <fmt/format.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "p7_trace.h"
#include "thread_queue.h"

namespace kavrion::mosquitto {

const char* const kDefaultServerUri = NORVANE_MQTT_URI;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kConnectWait = std::chrono::seconds(10);
constexpr int kMinRetrySeconds = 1;
constexpr int kMaxRetrySeconds = 5;
constexpr int kKeepAliveSeconds = 20;
constexpr int kConnectTimeoutSeconds = 5;
constexpr unsigned long kAckWaitMs = 5000;
constexpr int kDisconnectTimeoutMs = 1000;
constexpr auto kDisconnectWait = std::chrono::seconds(2);
constexpr auto kSessionRetryPause = std::chrono::milliseconds(500);
constexpr auto kWarningInterval = std::chrono::minutes(1);
// Room for a topic and the packet's header beyond the largest payload a client takes.
constexpr std::size_t kPacketMargin = std::size_t{64} * 1024;
// A session the broker keeps for as long as it runs, as MQTT 3's persistent sessions.
constexpr int kSessionNeverExpires = -1;  // 0xFFFFFFFF

template <typename... Args>
std::string format(std::string_view pattern, const Args&... args) {
  return fmt::vformat(pattern, fmt::make_format_args(args...));
}

[[noreturn]] void throwMqttError(int rc, std::string_view action, const std::string& topic) {
  throw std::runtime_error(format("MQTT error [{}]: {} \"{}\"", rc, action, topic));
}

// Returns the next level of @p text starting at @p pos and moves @p pos past it;
// pos becomes npos after the last level.
std::string_view nextLevel(std::string_view text, std::size_t& pos) {
  const std::size_t end = text.find('/', pos);
  const std::string_view level = text.substr(pos, end == std::string_view::npos ? end : end - pos);
  pos = end == std::string_view::npos ? end : end + 1;
  return level;
}

bool isValidFilter(std::string_view filter) {
  if (filter.empty() || filter.find('\0') != std::string_view::npos) return false;
  std::size_t pos = 0;
  while (pos != std::string_view::npos) {
    const std::string_view level = nextLevel(filter, pos);
    if (level.find('#') != std::string_view::npos &&
        (level != "#" || pos != std::string_view::npos)) {
      return false;
    }
    if (level.find('+') != std::string_view::npos && level != "+") return false;
  }
  return true;
}

// A publication on a wildcard topic makes the broker drop the connection, and a persistent
// session would repeat it after every reconnect.
bool isValidTopicName(std::string_view topic) {
  return !topic.empty() &&
         topic.find_first_of(std::string_view("+#\0", 3)) == std::string_view::npos;
}

bool hasWildcard(std::string_view filter) {
  return filter.find_first_of("+#") != std::string_view::npos;
}

struct Subscription {
  Qos qos;
  bool skipRetained;
};

// Subscriptions the client wants, shared between the owner's thread and the renewal on
// Paho's connected callback.
class SubscriptionBook {
 public:
  struct Renewal {
    std::vector<std::string> topics;
    std::vector<int> qos;
    std::vector<std::string> unsubscribes;
  };

  std::optional<Subscription> remember(const std::string& topic, Subscription subscription) {
    std::lock_guard lock(mutex_);
    unsubscribeLater_.erase(topic);
    std::optional<Subscription> previous = find(topic);
    if (!previous && hasWildcard(topic)) ++wildcards_;
    active_[topic] = subscription;
    return previous;
  }

  std::optional<Subscription> forget(const std::string& topic) {
    std::lock_guard lock(mutex_);
    std::optional<Subscription> previous = find(topic);
    if (previous && hasWildcard(topic)) --wildcards_;
    active_.erase(topic);
    return previous;
  }

  // Puts back what remember/forget replaced when the request behind it failed.
  void restore(const std::string& topic, std::optional<Subscription> previous) {
    std::lock_guard lock(mutex_);
    const bool had = active_.count(topic) != 0;
    if (had && hasWildcard(topic)) --wildcards_;
    active_.erase(topic);
    if (previous) {
      if (hasWildcard(topic)) ++wildcards_;
      active_[topic] = *previous;
    }
  }

  // A persistent session keeps the subscription at the broker until it is told.
  void unsubscribeLater(const std::string& topic) {
    std::lock_guard lock(mutex_);
    unsubscribeLater_.insert(topic);
  }

  void unsubscribed(const std::vector<std::string>& topics) {
    std::lock_guard lock(mutex_);
    for (const auto& topic : topics) unsubscribeLater_.erase(topic);
  }

  Renewal renewal() const {
    Renewal renewal;
    std::lock_guard lock(mutex_);
    for (const auto& [topic, subscription] : active_) {
      renewal.topics.push_back(topic);
      renewal.qos.push_back(static_cast<int>(subscription.qos));
    }
    renewal.unsubscribes.assign(unsubscribeLater_.begin(), unsubscribeLater_.end());
    return renewal;
  }

  // True when a current subscription takes the message: it matches one, and a retained
  // replay matches one that does not skip retained messages.
  bool wants(const msg_t& msg) const {
    std::lock_guard lock(mutex_);
    if (const auto exact = active_.find(msg.topic); exact != active_.end()) {
      if (!msg.retained || !exact->second.skipRetained) return true;
    }
    if (wildcards_ == 0) return false;
    for (const auto& [filter, subscription] : active_) {
      if ((!msg.retained || !subscription.skipRetained) && topicMatches(filter, msg.topic)) {
        return true;
      }
    }
    return false;
  }

 private:
  std::optional<Subscription> find(const std::string& topic) const {
    const auto it = active_.find(topic);
    if (it == active_.end()) return std::nullopt;
    return it->second;
  }

  mutable std::mutex mutex_;
  std::map<std::string, Subscription> active_;
  std::set<std::string> unsubscribeLater_;
  std::size_t wildcards_ = 0;
};

// Connection events handed from Paho's threads to a thread that waits for them.
class ConnectionSignal {
 public:
  void connected() {
    {
      std::lock_guard lock(mutex_);
      ++connects_;
    }
    changed_.notify_all();
  }

  void attemptFailed() {
    {
      std::lock_guard lock(mutex_);
      ++failures_;
    }
    changed_.notify_all();
  }

  void disconnected() {
    {
      std::lock_guard lock(mutex_);
      disconnected_ = true;
    }
    changed_.notify_all();
  }

  uint64_t connects() const {
    std::lock_guard lock(mutex_);
    return connects_;
  }

  uint64_t failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }

  // Waits until a connect beyond @p seenConnects, or (with @p stopOnFailure) a failed attempt
  // beyond @p seenFailures. @return true when connected
  bool waitForConnect(uint64_t seenConnects, uint64_t seenFailures, bool stopOnFailure,
                      Clock::duration timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
      return connects_ > seenConnects || (stopOnFailure && failures_ > seenFailures);
    });
    return connects_ > seenConnects;
  }

  void waitForDisconnect(Clock::duration timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return disconnected_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t connects_ = 0;
  uint64_t failures_ = 0;
  bool disconnected_ = false;
};

// Counts dropped messages and lets a warning out at most once a minute, with everything
// dropped since the last one.
class RateLimitedDrops {
 public:
  std::size_t add(std::size_t dropped) {
    pending_ += dropped;
    if (pending_ == 0) return 0;
    const auto now = Clock::now();
    if (lastWarning_ && now - *lastWarning_ < kWarningInterval) return 0;
    lastWarning_ = now;
    return std::exchange(pending_, 0);
  }

 private:
  std::size_t pending_ = 0;
  std::optional<Clock::time_point> lastWarning_;
};

// Outcome of one request of a short-lived connection, handed over from Paho's thread.
class RequestOutcome {
 public:
  static void succeeded(void* context, MQTTAsync_successData*) {
    static_cast<RequestOutcome*>(context)->set(1);
  }
  static void failed(void* context, MQTTAsync_failureData*) {
    static_cast<RequestOutcome*>(context)->set(-1);
  }

  // @return true when the request succeeded within @p timeout
  bool succeededWithin(Clock::duration timeout) {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, timeout, [this] { return result_ != 0; });
    return result_ > 0;
  }

 private:
  // Notified under the lock: the waiter owns this object on its stack and may destroy it as
  // soon as it sees the result, which must not happen while Paho's thread is still notifying.
  void set(int result) {
    std::lock_guard lock(mutex_);
    result_ = result;
    done_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable done_;
  int result_ = 0;
};

// A session that an earlier run of the service left at the broker would resume with its
// subscriptions and its unfinished QoS 2 exchanges, whose packet ids the new client reuses:
// the broker would then take a new message for a repeat of the old one and drop it. A short
// clean-session connection under the same client id ends that session.
// @return true when the broker was reached
bool discardEarlierSession(const std::string& serverUri, const std::string& clientId) {
  MQTTAsync handle = nullptr;
  if (MQTTAsync_create(&handle, serverUri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                       nullptr) != MQTTASYNC_SUCCESS) {
    return false;
  }
  RequestOutcome connected;
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.cleansession = 1;
  options.connectTimeout = kConnectTimeoutSeconds;
  options.onSuccess = &RequestOutcome::succeeded;
  options.onFailure = &RequestOutcome::failed;
  options.context = &connected;
  bool reached = false;
  // Paho reports every connect attempt within its connect timeout; the margin only guards
  // against waiting for ever.
  if (MQTTAsync_connect(handle, &options) == MQTTASYNC_SUCCESS &&
      (reached = connected.succeededWithin(std::chrono::seconds(kConnectTimeoutSeconds + 2)))) {
    RequestOutcome disconnected;
    MQTTAsync_disconnectOptions disconnect = MQTTAsync_disconnectOptions_initializer;
    disconnect.timeout = kDisconnectTimeoutMs;
    disconnect.onSuccess = &RequestOutcome::succeeded;
    disconnect.onFailure = &RequestOutcome::failed;
    disconnect.context = &disconnected;
    if (MQTTAsync_disconnect(handle, &disconnect) == MQTTASYNC_SUCCESS) {
      disconnected.succeededWithin(kDisconnectWait);
    }
  }
  MQTTAsync_destroy(&handle);
  return reached;
}

// Paho tears its global state down when its last client is destroyed, while its I/O threads
// may still be winding down; what they allocate meanwhile is lost when the next client sets
// that state up afresh (seen as a 122 KiB trace buffer leaked by a client created after the
// last one went). One client that is never connected nor destroyed keeps the state for the
// life of the process.
void keepPahoStateForTheProcess() {
  static const MQTTAsync kAnchor = [] {
    MQTTAsync handle = nullptr;
    const int rc = MQTTAsync_create(&handle, "tcp://127.0.0.1:1", "norvane-paho-anchor",
                                    MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTASYNC_SUCCESS) throwMqttError(rc, "create client", "norvane-paho-anchor");
    return handle;
  }();
  static_cast<void>(kAnchor);
}

void addProperty(MQTTProperties& properties, MQTTPropertyCodes code, int value) {
  MQTTProperty property{};
  property.identifier = code;
  property.value.integer4 = static_cast<unsigned int>(value);
  const int rc = MQTTProperties_add(&properties, &property);
  if (rc != 0) throwMqttError(rc, "add connect property", MQTTPropertyName(code));
}

// The callbacks of a subscribe request, of the MQTT 3 kind the interface offers, called from
// the MQTT 5 ones Paho takes for it.
struct RequestCallbacks {
  MqttAsyncWrapper* owner;
  OnSuccess onSuccess;
  OnFailure onFailure;

  static void succeeded(void* context, MQTTAsync_successData5* data) {
    const std::unique_ptr<RequestCallbacks> callbacks(static_cast<RequestCallbacks*>(context));
    MQTTAsync_successData result{};
    result.token = data != nullptr ? data->token : 0;
    if (callbacks->onSuccess != nullptr) callbacks->onSuccess(callbacks->owner, &result);
  }
  static void failed(void* context, MQTTAsync_failureData5* data) {
    const std::unique_ptr<RequestCallbacks> callbacks(static_cast<RequestCallbacks*>(context));
    MQTTAsync_failureData result{};
    if (data != nullptr) {
      result.token = data->token;
      result.code = data->code;
      result.message = data->message;
    }
    if (callbacks->onFailure != nullptr) callbacks->onFailure(callbacks->owner, &result);
  }
};

struct MessageCost {
  std::size_t operator()(const msg_t& msg) const {
    return sizeof(msg_t) + msg.topic.size() + msg.payload.size();
  }
};

// A QoS 1/2 message sent while disconnected, waiting for the connection.
struct PendingSend {
  std::string topic;
  std::string payload;
  Qos qos = Qos::AtLeastOnce;
  bool retained = false;
};

struct PendingSendCost {
  std::size_t operator()(const PendingSend& message) const {
    return message.topic.size() + message.payload.size();
  }
};

// Messages dropped on arrival for their size, recorded per topic at most once a minute with
// what was dropped since. The record is written on Paho's thread when it is due: the owner
// may be waiting in Receive for half a minute, and the dropped message never reaches it.
class OversizedDrops {
 public:
  struct Report {
    std::string topic;
    std::size_t count;
    std::size_t largest;
  };

  // The record of the topic, when one is due.
  std::optional<Report> add(std::string topic, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    auto found = topics_.find(topic);
    // The topics come from the client's own subscriptions; the bound only keeps a wildcard
    // subscription from growing the table without end.
    if (found == topics_.end()) {
      if (topics_.size() >= kMaxTopics) return std::nullopt;
      found = topics_.emplace(std::move(topic), Pending{}).first;
    }
    ++found->second.count;
    found->second.largest = std::max(found->second.largest, bytes);
    std::optional<Report> report = takeIfDue(*found, Clock::now());
    if (!report) waiting_ = true;
    return report;
  }

  // The records that waited for their minute, once it has passed.
  std::vector<Report> due() {
    std::vector<Report> reports;
    if (!waiting_.load(std::memory_order_relaxed)) return reports;  // each Receive asks
    std::lock_guard lock(mutex_);
    waiting_ = false;
    const auto now = Clock::now();
    for (auto& entry : topics_) {
      if (entry.second.count == 0) continue;
      if (auto report = takeIfDue(entry, now)) {
        reports.push_back(std::move(*report));
      } else {
        waiting_ = true;
      }
    }
    return reports;
  }

 private:
  static constexpr std::size_t kMaxTopics = 256;
  struct Pending {
    std::size_t count = 0;
    std::size_t largest = 0;
    std::optional<Clock::time_point> lastRecord;
  };

  static std::optional<Report> takeIfDue(std::pair<const std::string, Pending>& entry,
                                         Clock::time_point now) {
    Pending& pending = entry.second;
    if (pending.lastRecord && now - *pending.lastRecord < kWarningInterval) return std::nullopt;
    pending.lastRecord = now;
    return Report{entry.first, std::exchange(pending.count, 0), std::exchange(pending.largest, 0)};
  }

  std::mutex mutex_;
  std::map<std::string, Pending> topics_;
  std::atomic<bool> waiting_{false};  // a topic's drops wait for their minute
};

}  // namespace

struct MqttAsyncWrapper::Impl {
  Impl(MqttAsyncWrapper* owner, const std::string& clientId, const ClientOptions& options)
      : owner(owner),
        clientId(clientId),
        serverUri(options.serverUri),
        offlineBufferMessages(options.offlineBufferMessages),
        packetLimit(options.maxPayloadBytes + kPacketMargin),
        maxPayloadBytes(options.maxPayloadBytes),
        received(options.receiveQueueMessages, options.receiveQueueBytes),
        offline(static_cast<std::size_t>(std::max(options.offlineBufferMessages, 1)),
                options.offlineBufferBytes) {}

  MqttAsyncWrapper* const owner;
  const std::string clientId;
  const std::string serverUri;
  const int offlineBufferMessages;
  // What the broker is told at connect: it discards larger packets without sending them.
  const std::size_t packetLimit;
  MQTTAsync handle = nullptr;

  std::atomic<std::size_t> maxPayloadBytes;
  ThreadQueue<msg_t, MessageCost> received;
  OversizedDrops oversized;
  // Guards the decision between Paho and the offline buffer, so that messages leave in the
  // order they were sent; never held while Paho is called.
  std::mutex sendMutex;
  ThreadQueue<PendingSend, PendingSendCost> offline;
  bool handingOver = false;  // Paho's thread is handing the buffer over after a connect
  SubscriptionBook subscriptions;
  ConnectionSignal connection;
  std::atomic<int> callbacksRunning{0};

  bool connectStarted = false;
  bool autoReconnect = false;
  OnSuccess userConnectSuccess = nullptr;
  OnFailure userConnectFailure = nullptr;
  RateLimitedDrops receiveDrops;
  RateLimitedDrops offlineDrops;

  void create();
  void destroy() noexcept;
  void renewSubscriptions();
  void reportReceiveDrops();
  void recordOversized(const OversizedDrops::Report& report);
  void recordOfflineDrops(std::size_t dropped);
  void sendOfflineBuffer();
  int publish(const std::string& topic, const std::string& payload, Qos qos, bool retained);
  void awaitAck(MQTTAsync_token token);
  // A subscribe or unsubscribe request, made once the book already shows its outcome.
  using Request = std::function<int(MQTTAsync_responseOptions&)>;
  bool request(const Request& send, const std::function<void()>& undo, std::string_view action,
               const std::string& topic);
  bool connected() const { return MQTTAsync_isConnected(handle) != 0; }

  static int onMessageArrived(void* context, char* topicName, int topicLen,
                              MQTTAsync_message* message);
  static void onConnected(void* context, char* cause);
  static void onConnectionLost(void* context, char* cause);
  static void onConnectSuccess(void* context, MQTTAsync_successData* data);
  static void onConnectFailure(void* context, MQTTAsync_failureData* data);
  static void onDisconnectSuccess(void* context, MQTTAsync_successData* data);
  static void onDisconnectFailure(void* context, MQTTAsync_failureData* data);
};

namespace {

// Keeps the wrapper alive in the destructor while a Paho callback still uses it.
class CallbackScope {
 public:
  explicit CallbackScope(std::atomic<int>& running) : running_(running) { ++running_; }
  ~CallbackScope() { --running_; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  std::atomic<int>& running_;
};

}  // namespace

void MqttAsyncWrapper::Impl::create() {
  keepPahoStateForTheProcess();
  // MQTT 5, for its Maximum Packet Size: the broker itself discards a message larger than
  // the client takes. Paho would otherwise read it whole into a buffer of its own that
  // keeps the size of the largest packet ever read for the life of the process.
  MQTTAsync_createOptions options = MQTTAsync_createOptions_initializer5;
  options.sendWhileDisconnected = 1;
  options.allowDisconnectedSendAtAnyTime = 1;  // the broker may come up after the service
  options.maxBufferedMessages = offlineBufferMessages;
  options.deleteOldestMessages = 1;
  int rc = MQTTAsync_createWithOptions(&handle, serverUri.c_str(), clientId.c_str(),
                                       MQTTCLIENT_PERSISTENCE_NONE, nullptr, &options);
  if (rc != MQTTASYNC_SUCCESS) throwMqttError(rc, "create client", clientId);
  rc = MQTTAsync_setCallbacks(handle, this, &Impl::onConnectionLost, &Impl::onMessageArrived,
                              nullptr);
  if (rc != MQTTASYNC_SUCCESS) {
    MQTTAsync_destroy(&handle);
    throwMqttError(rc, "set callbacks of", clientId);
  }
  rc = MQTTAsync_setConnected(handle, this, &Impl::onConnected);
  if (rc != MQTTASYNC_SUCCESS) {
    MQTTAsync_destroy(&handle);
    throwMqttError(rc, "set connected callback of", clientId);
  }
}

void MqttAsyncWrapper::Impl::destroy() noexcept {
  MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
  options.timeout = kDisconnectTimeoutMs;
  options.onSuccess = &Impl::onDisconnectSuccess;
  options.onFailure = &Impl::onDisconnectFailure;
  options.context = this;
  // Also stops automatic reconnecting when the broker is away.
  if (MQTTAsync_disconnect(handle, &options) == MQTTASYNC_SUCCESS) {
    connection.waitForDisconnect(kDisconnectWait);
  }
  MQTTAsync_destroy(&handle);
  // A callback that started before destroy may still be running on Paho's thread.
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  while (callbacksRunning.load() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void MqttAsyncWrapper::Impl::renewSubscriptions() {
  SubscriptionBook::Renewal renewal = subscriptions.renewal();
  if (!renewal.topics.empty()) {
    std::vector<char*> topics;
    for (auto& topic : renewal.topics) topics.push_back(topic.data());
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    const int rc = MQTTAsync_subscribeMany(handle, static_cast<int>(topics.size()), topics.data(),
                                           renewal.qos.data(), &options);
    if (rc != MQTTASYNC_SUCCESS) {
      NV_TRACE(P7::getTrace(), P7::kError, "MQTT error [%d]: renew %zu subscriptions of \"%s\"", rc,
               topics.size(), clientId.c_str());
    }
  }
  if (!renewal.unsubscribes.empty()) {
    std::vector<char*> topics;
    for (auto& topic : renewal.unsubscribes) topics.push_back(topic.data());
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    const int rc =
        MQTTAsync_unsubscribeMany(handle, static_cast<int>(topics.size()), topics.data(), &options);
    if (rc == MQTTASYNC_SUCCESS) {
      subscriptions.unsubscribed(renewal.unsubscribes);
    } else {
      NV_TRACE(P7::getTrace(), P7::kError, "MQTT error [%d]: unsubscribe %zu topics of \"%s\"", rc,
               topics.size(), clientId.c_str());
    }
  }
}

void MqttAsyncWrapper::Impl::reportReceiveDrops() {
  for (const OversizedDrops::Report& report : oversized.due()) recordOversized(report);
  const std::size_t dropped = receiveDrops.add(received.take_dropped());
  if (dropped == 0) return;
  NV_TRACE(P7::getTrace(), P7::kWarning,
           "receive queue of \"%s\" full: %zu oldest messages dropped", clientId.c_str(), dropped);
}

void MqttAsyncWrapper::Impl::recordOversized(const OversizedDrops::Report& report) {
  NV_TRACE(P7::getTrace(), P7::kWarning,
           "MQTT client \"%s\" dropped %zu message(s) on \"%s\" of up to %zu bytes: more than %zu",
           clientId.c_str(), report.count, P7::excerpt(report.topic).c_str(), report.largest,
           maxPayloadBytes.load());
}

void MqttAsyncWrapper::Impl::recordOfflineDrops(std::size_t dropped) {
  if (offlineDrops.add(dropped) == 0) return;
  NV_TRACE(P7::getTrace(), P7::kWarning,
           "offline buffer of \"%s\" full: %zu oldest messages dropped", clientId.c_str(), dropped);
}

int MqttAsyncWrapper::Impl::publish(const std::string& topic, const std::string& payload, Qos qos,
                                    bool retained) {
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(payload.data());  // Paho copies it
  message.payloadlen = static_cast<int>(payload.size());
  message.qos = static_cast<int>(qos);
  message.retained = retained ? 1 : 0;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  return MQTTAsync_sendMessage(handle, topic.c_str(), &message, &options);
}

// On Paho's thread after a connect, one message at a time. A connection lost meanwhile
// leaves the rest for the next connect; what Paho takes while disconnected it keeps itself.
void MqttAsyncWrapper::Impl::sendOfflineBuffer() {
  for (;;) {
    PendingSend message;
    {
      std::lock_guard lock(sendMutex);
      handingOver = connected() && offline.try_get_for(&message, std::chrono::milliseconds::zero());
      if (!handingOver) return;
    }
    const int rc = publish(message.topic, message.payload, message.qos, message.retained);
    if (rc != MQTTASYNC_SUCCESS && rc != MQTTASYNC_DISCONNECTED) {
      NV_TRACE(P7::getTrace(), P7::kError,
               "MQTT error [%d]: send \"%s\" after the reconnect of \"%s\"", rc,
               message.topic.c_str(), clientId.c_str());
    }
  }
}

// Waiting for the broker's acknowledgement makes a subscription effective on return; the
// outcome itself reaches the caller's callbacks.
// False while offline or cut off meanwhile: the next connect brings the broker up to date from
// the book. A request Paho refuses is taken back from the book (@p undo), then thrown.
bool MqttAsyncWrapper::Impl::request(const Request& send, const std::function<void()>& undo,
                                     std::string_view action, const std::string& topic) {
  if (!connected()) return false;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  const int rc = send(options);
  if (rc == MQTTASYNC_DISCONNECTED) return false;
  if (rc != MQTTASYNC_SUCCESS) {
    undo();
    throwMqttError(rc, action, topic);
  }
  awaitAck(options.token);
  return true;
}

void MqttAsyncWrapper::Impl::awaitAck(MQTTAsync_token token) {
  MQTTAsync_waitForCompletion(handle, token, kAckWaitMs);
}

int MqttAsyncWrapper::Impl::onMessageArrived(void* context, char* topicName, int topicLen,
                                             MQTTAsync_message* message) {
  auto* impl = static_cast<Impl*>(context);
  CallbackScope scope(impl->callbacksRunning);
  bool dropped = false;
  std::optional<OversizedDrops::Report> record;
  try {
    msg_t msg;
    msg.topic = topicLen > 0 ? std::string(topicName, static_cast<std::size_t>(topicLen))
                             : std::string(topicName);
    const auto size = static_cast<std::size_t>(std::max(message->payloadlen, 0));
    dropped = size > impl->maxPayloadBytes.load();
    if (dropped) {
      record = impl->oversized.add(std::move(msg.topic), size);
    } else {
      const auto* bytes = static_cast<const uint8_t*>(message->payload);
      msg.payload.assign(bytes, bytes + size);
      msg.retained = message->retained != 0 ? 1 : 0;
      impl->received.put(std::move(msg));
    }
  } catch (...) {
    // Out of memory: the message is lost either way, and an exception must not unwind
    // through Paho's C frames.
  }
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topicName);
  if (record) {
    try {
      impl->recordOversized(*record);
    } catch (...) {  // the record's copy of the topic: lost like the message
    }
  }
  // Paho read the whole message into a buffer of its own; freed just now, it would otherwise
  // stay with the process.
  if (dropped) malloc_trim(0);
  return 1;
}

void MqttAsyncWrapper::Impl::onConnected(void* context, char* /*cause*/) {
  auto* impl = static_cast<Impl*>(context);
  CallbackScope scope(impl->callbacksRunning);
  impl->renewSubscriptions();
  impl->sendOfflineBuffer();
  NV_TRACE(P7::getTrace(), P7::kInfo, "MQTT client \"%s\" connected to \"%s\"",
           impl->clientId.c_str(), impl->serverUri.c_str());
  // Counted after the renewal was requested, so a thread that notices the new count
  // finds its subscriptions under way.
  impl->connection.connected();
}

void MqttAsyncWrapper::Impl::onConnectionLost(void* context, char* cause) {
  auto* impl = static_cast<Impl*>(context);
  CallbackScope scope(impl->callbacksRunning);
  NV_TRACE(P7::getTrace(), P7::kWarning, "MQTT client \"%s\" lost its connection to \"%s\": %s",
           impl->clientId.c_str(), impl->serverUri.c_str(),
           cause != nullptr ? cause : "no cause given");
}

void MqttAsyncWrapper::Impl::onConnectSuccess(void* context, MQTTAsync_successData* data) {
  auto* impl = static_cast<Impl*>(context);
  CallbackScope scope(impl->callbacksRunning);
  if (impl->userConnectSuccess != nullptr) impl->userConnectSuccess(impl->owner, data);
}

void MqttAsyncWrapper::Impl::onConnectFailure(void* context, MQTTAsync_failureData* data) {
  auto* impl = static_cast<Impl*>(context);
  CallbackScope scope(impl->callbacksRunning);
  impl->connection.attemptFailed();
  if (impl->userConnectFailure != nullptr) impl->userConnectFailure(impl->owner, data);
}

void MqttAsyncWrapper::Impl::onDisconnectSuccess(void* context, MQTTAsync_successData*) {
  auto* impl = static_cast<Impl*>(context);
  CallbackScope scope(impl->callbacksRunning);
  impl->connection.disconnected();
}

void MqttAsyncWrapper::Impl::onDisconnectFailure(void* context, MQTTAsync_failureData*) {
  auto* impl = static_cast<Impl*>(context);
  CallbackScope scope(impl->callbacksRunning);
  impl->connection.disconnected();
}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : MqttAsyncWrapper(clientId, ClientOptions{}) {}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId, const std::string& serverUri)
    : MqttAsyncWrapper(clientId, ClientOptions{.serverUri = serverUri}) {}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId, const ClientOptions& options)
    : impl_(std::make_unique<Impl>(this, clientId, options)) {
  impl_->create();
}

MqttAsyncWrapper::~MqttAsyncWrapper() { impl_->destroy(); }

void MqttAsyncWrapper::Connect(bool autoReconnect, OnSuccess onSuccess, OnFailure onFailure) {
  Impl& impl = *impl_;
  if (impl.connected()) return;
  const auto connectDeadline = Clock::now() + kConnectWait;
  const uint64_t seenConnects = impl.connection.connects();
  const uint64_t seenFailures = impl.connection.failures();
  // With automatic reconnecting under way, a second request would only restart it.
  if (!impl.connectStarted || !impl.autoReconnect) {
    if (!impl.connectStarted) {
      // Only a reachable broker can be told; when it comes up later the persistent
      // connection resumes whatever session it still holds.
      while (!discardEarlierSession(impl.serverUri, impl.clientId) &&
             Clock::now() < connectDeadline) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(kSessionRetryPause, connectDeadline - Clock::now()));
      }
    }
    impl.userConnectSuccess = onSuccess;
    impl.userConnectFailure = onFailure;
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer5;
    options.keepAliveInterval = kKeepAliveSeconds;
    options.cleanstart = 0;
    MQTTProperties properties = MQTTProperties_initializer;
    addProperty(properties, MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL, kSessionNeverExpires);
    addProperty(properties, MQTTPROPERTY_CODE_MAXIMUM_PACKET_SIZE,
                static_cast<int>(std::min<std::size_t>(impl.packetLimit, INT_MAX)));
    options.connectProperties = &properties;
    options.connectTimeout = kConnectTimeoutSeconds;
    options.automaticReconnect = autoReconnect ? 1 : 0;
    options.minRetryInterval = kMinRetrySeconds;
    options.maxRetryInterval = kMaxRetrySeconds;
    options.onSuccess = &Impl::onConnectSuccess;
    options.onFailure = &Impl::onConnectFailure;
    options.context = &impl;
    const int rc = MQTTAsync_connect(impl.handle, &options);  // Paho copies the properties
    MQTTProperties_free(&properties);
    if (rc != MQTTASYNC_SUCCESS) throwMqttError(rc, "connect to", impl.serverUri);
    impl.connectStarted = true;
    impl.autoReconnect = autoReconnect;
  }
  const auto remaining =
      std::max<Clock::duration>(connectDeadline - Clock::now(), Clock::duration::zero());
  if (impl.connection.waitForConnect(seenConnects, seenFailures, !autoReconnect, remaining)) {
    return;
  }
  if (autoReconnect) {
    NV_TRACE(P7::getTrace(), P7::kWarning,
             "MQTT client \"%s\" not connected to \"%s\" within 10 s, still trying",
             impl.clientId.c_str(), impl.serverUri.c_str());
  } else {
    NV_TRACE(P7::getTrace(), P7::kWarning, "MQTT client \"%s\" could not connect to \"%s\"",
             impl.clientId.c_str(), impl.serverUri.c_str());
  }
}

void MqttAsyncWrapper::Subscribe(const std::string& topic, Qos qos, bool skipRetained,
                                 OnSuccess onSuccess, OnFailure onFailure) {
  Impl& impl = *impl_;
  if (!isValidFilter(topic)) {
    throw std::runtime_error(
        format("MQTT error: subscribe \"{}\": not a valid topic filter", topic));
  }
  const std::optional<Subscription> previous =
      impl.subscriptions.remember(topic, Subscription{qos, skipRetained});
  impl.request(
      [&](MQTTAsync_responseOptions& options) {
        std::unique_ptr<RequestCallbacks> callbacks;
        if (onSuccess != nullptr || onFailure != nullptr) {
          callbacks =
              std::make_unique<RequestCallbacks>(RequestCallbacks{this, onSuccess, onFailure});
          options.onSuccess5 = &RequestCallbacks::succeeded;
          options.onFailure5 = &RequestCallbacks::failed;
          options.context = callbacks.get();
        }
        const int rc =
            MQTTAsync_subscribe(impl.handle, topic.c_str(), static_cast<int>(qos), &options);
        // Paho calls one of them once it has taken the request; they free the callbacks.
        if (rc == MQTTASYNC_SUCCESS) static_cast<void>(callbacks.release());
        return rc;
      },
      [&] { impl.subscriptions.restore(topic, previous); }, "subscribe", topic);
}

void MqttAsyncWrapper::SubscribeMany(const std::vector<std::string>& topics, Qos qos,
                                     bool skipRetained) {
  // Small enough for any broker's packet limit, large enough to make few round trips.
  constexpr std::size_t kBatch = 256;
  for (const std::string& topic : topics) {
    if (!isValidFilter(topic)) {
      throw std::runtime_error(
          format("MQTT error: subscribe \"{}\": not a valid topic filter", topic));
    }
  }
  Impl& impl = *impl_;
  for (std::size_t first = 0; first < topics.size(); first += kBatch) {
    const std::size_t last = std::min(topics.size(), first + kBatch);
    std::vector<std::optional<Subscription>> previous;
    std::vector<char*> names;
    std::vector<int> qosLevels(last - first, static_cast<int>(qos));
    for (std::size_t i = first; i < last; ++i) {
      previous.push_back(impl.subscriptions.remember(topics[i], Subscription{qos, skipRetained}));
      names.push_back(const_cast<char*>(topics[i].c_str()));  // Paho does not write to them
    }
    impl.request(
        [&](MQTTAsync_responseOptions& options) {
          return MQTTAsync_subscribeMany(impl.handle, static_cast<int>(names.size()), names.data(),
                                         qosLevels.data(), &options);
        },
        [&] {
          for (std::size_t i = first; i < last; ++i) {
            impl.subscriptions.restore(topics[i], previous[i - first]);
          }
        },
        "subscribe", topics[first]);
  }
}

void MqttAsyncWrapper::Unsubscribe(const std::string& topic) {
  Impl& impl = *impl_;
  const std::optional<Subscription> previous = impl.subscriptions.forget(topic);
  const bool made = impl.request(
      [&](MQTTAsync_responseOptions& options) {
        return MQTTAsync_unsubscribe(impl.handle, topic.c_str(), &options);
      },
      [&] { impl.subscriptions.restore(topic, previous); }, "unsubscribe", topic);
  // A persistent session keeps the subscription at the broker until it is told.
  if (!made) impl.subscriptions.unsubscribeLater(topic);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos,
                            bool retained) {
  Impl& impl = *impl_;
  if (!isValidTopicName(topic)) {
    throw std::runtime_error(format("MQTT error: send \"{}\": not a valid topic name", topic));
  }
  if (payload.size() > static_cast<std::size_t>(INT_MAX)) {
    const std::size_t size = payload.size();
    throw std::runtime_error(
        format("MQTT error: send \"{}\": payload of {} bytes too large", topic, size));
  }
  bool sendNow = true;
  std::size_t dropped = 0;
  {
    std::lock_guard lock(impl.sendMutex);
    const bool connected = impl.connected();
    // While the buffer is handed over after a connect, a new message waits its turn.
    if (qos != Qos::AtMostOnce && (!connected || impl.handingOver || impl.offline.size() > 0)) {
      dropped = impl.offline.put(PendingSend{topic, payload, qos, retained});
      sendNow = false;
    } else {
      sendNow = connected;
    }
  }
  impl.recordOfflineDrops(dropped);
  if (!sendNow) return;
  const int rc = impl.publish(topic, payload, qos, retained);
  if (rc == MQTTASYNC_SUCCESS || rc == MQTTASYNC_DISCONNECTED) return;
  throwMqttError(rc, "send", topic);
}

msg_t MqttAsyncWrapper::Receive(const std::string& filter, int timeoutSeconds) {
  return Receive(filter, std::chrono::milliseconds(int64_t{timeoutSeconds} * 1000));
}

msg_t MqttAsyncWrapper::Receive(const std::string& filter, std::chrono::milliseconds timeout) {
  Impl& impl = *impl_;
  const bool unlimited = timeout == std::chrono::milliseconds::zero();
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds::zero());
  msg_t msg;
  for (;;) {
    bool got = true;
    if (unlimited) {
      impl.received.get(&msg);
    } else {
      got = impl.received.try_get_for(&msg,
                                      std::max(deadline - Clock::now(), Clock::duration::zero()));
    }
    impl.reportReceiveDrops();
    if (!got) throw std::runtime_error(noMessageText(filter, timeout));
    if (topicMatches(filter, msg.topic) && impl.subscriptions.wants(msg)) return msg;
  }
}

void MqttAsyncWrapper::ClearRecievedQueue() {
  impl_->received.clear();
  impl_->reportReceiveDrops();
}

void MqttAsyncWrapper::SetMaxPayloadBytes(std::size_t bytes) { impl_->maxPayloadBytes = bytes; }

uint64_t MqttAsyncWrapper::connectionCount() const { return impl_->connection.connects(); }

bool MqttAsyncWrapper::isConnected() const { return impl_->connected(); }

std::size_t MqttAsyncWrapper::queuedMessages() const { return impl_->received.size(); }

std::string payloadText(msg_t message) {
  return std::string(message.payload.begin(), message.payload.end());
}

std::string noMessageText(const std::string& filter, std::chrono::milliseconds timeout) {
  const double seconds = static_cast<double>(timeout.count()) / 1000.0;
  return format("no message on \"{}\" within {} s", filter, seconds);
}

bool topicMatches(std::string_view filter, std::string_view topic) {
  if (filter.empty() || topic.empty()) return false;
  // Wildcards at the first level never match the broker's "$" topics.
  if (topic.front() == '$' && (filter.front() == '+' || filter.front() == '#')) return false;
  std::size_t f = 0;
  std::size_t t = 0;
  for (;;) {
    const std::string_view wanted = nextLevel(filter, f);
    if (wanted == "#" && f == std::string_view::npos) return true;
    const std::string_view level = nextLevel(topic, t);
    if (wanted != "+" && wanted != level) return false;
    if (f == std::string_view::npos) return t == std::string_view::npos;
    // "a/#" also matches its parent "a".
    if (t == std::string_view::npos) return filter.substr(f) == "#";
  }
}

}  // namespace kavrion::mosquitto
