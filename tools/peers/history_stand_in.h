// A stand-in for wb-mqtt-db's history call: answers each request on "<request topic>/reply"
// from the deterministic series, or stays silent, delays, or sends a given text.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt_async_wrapper.h"

namespace norvane::peers {

// Filter of every history request; reply topics have one level more and do not match it.
extern const char* const kHistoryRequestFilter;

// The reply wb-mqtt-db would give to a request text: the request's "id" and one row with the
// window's figures as strings. Throws nlohmann::json exceptions for a text that is no request.
std::string buildHistoryReply(const std::string& requestText);

struct Behaviour {
  enum class Kind { kAnswer, kSilent, kText };
  Kind kind = Kind::kAnswer;
  std::string text;                     // kText: sent as it stands (empty: an empty payload)
  std::chrono::milliseconds delay{0};   // before answering
};

Behaviour answer(std::chrono::milliseconds delay = std::chrono::milliseconds{0});
Behaviour silence();
Behaviour sendText(std::string text);

struct ReceivedRequest {
  std::string topic;
  std::string text;
};

class HistoryStandIn {
 public:
  // Connects and subscribes before it returns, so no request sent afterwards is missed.
  HistoryStandIn(const std::string& serverUri, const std::string& clientId,
                 Behaviour usual = answer());
  ~HistoryStandIn();
  HistoryStandIn(const HistoryStandIn&) = delete;
  HistoryStandIn& operator=(const HistoryStandIn&) = delete;

  // Behaviours for the next requests, in order; afterwards the usual one applies again.
  void script(std::deque<Behaviour> behaviours);
  std::vector<ReceivedRequest> requests() const;
  // False when fewer than count requests arrived within the timeout.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  void serve();
  Behaviour next();

  std::unique_ptr<kavrion::mosquitto::MqttAsyncWrapper> client_;
  Behaviour usual_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::deque<Behaviour> script_;
  std::vector<ReceivedRequest> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace norvane::peers
