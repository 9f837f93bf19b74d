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

// Ways a reply can be wrong, each one the service must survive.
enum class Malformation {
  kNotJson,        // a text the JSON parser refuses
  kEmpty,          // an empty payload
  kNotAnObject,    // a JSON array
  kUnknownId,      // an "id" no entry of the configuration has
  kNoControl,      // a row without "control"
  kNoValue,        // a row without "value"
  kFigureNotText,  // a figure that is an object
  kNoNumber,       // a figure text without a number
  kOutOfRange,     // a figure beyond a double
  kNoValues,       // "values" empty
  kNull,           // the JSON literal null
};

// Every malformation, in the order above.
const std::vector<Malformation>& allMalformations();
// "not-json", "empty", "not-object", "unknown-id", "no-control", "no-value",
// "figure-not-text", "no-number", "out-of-range", "no-values", "null".
std::string malformationName(Malformation malformation);
// Throws std::invalid_argument naming the text when it names no malformation.
Malformation malformationNamed(const std::string& name);
// The reply to the request with the given fault; the request's "id" is used where the
// reply carries one (a text that is no request gets the id "m1").
std::string buildMalformedReply(Malformation malformation, const std::string& requestText);

struct Behaviour {
  enum class Kind { kAnswer, kSilent, kText, kMalformed };
  Kind kind = Kind::kAnswer;
  std::string text;                     // kText: sent as it stands (empty: an empty payload)
  std::chrono::milliseconds delay{0};   // before answering
  // kMalformed: the faults used in turn, one request after the other.
  std::vector<Malformation> malformations;
  // Sent on the reply topic before the reply, as replies to other requests would be.
  std::vector<std::string> strays;
  bool twice = false;  // every reply is sent twice
  // Before every replayEvery-th reply, one given four requests earlier is sent again.
  int replayEvery = 0;
};

Behaviour answer(std::chrono::milliseconds delay = std::chrono::milliseconds{0});
Behaviour silence();
Behaviour sendText(std::string text);
Behaviour malformed(std::vector<Malformation> malformations);
// The answer, after replies that answer other requests.
Behaviour answerAfter(std::vector<std::string> strays);

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
  void sendReply(const std::string& topic, const std::string& text, const Behaviour& behaviour);

  std::unique_ptr<kavrion::mosquitto::MqttAsyncWrapper> client_;
  Behaviour usual_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::deque<Behaviour> script_;
  std::vector<ReceivedRequest> requests_;
  std::size_t malformedCount_ = 0;  // serving thread only
  std::size_t replies_ = 0;         // serving thread only
  std::deque<std::string> sent_;    // the last replies, for replays; serving thread only
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace norvane::peers
