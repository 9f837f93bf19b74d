// The history call to wb-mqtt-db: request texts, request/reply topics and their renewal.
#include "history_client.h"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "p7_trace.h"
#include "service_state.h"
#include "watchdog.h"

namespace norvane {
namespace {

constexpr const char* kRequestTopicPattern = "/rpc/v1/db_logger/history/get_values/pid_{}_N{}";
constexpr const char* kReplyTopicPattern = "/rpc/v1/db_logger/history/get_values/pid_{}_N{}/reply";
// The counter never reaches 65535, so no topic carries it.
constexpr uint16_t kCounterLimit = 65535;
// Longer than the "request_timeout" the peer is asked to keep (50 s).
constexpr std::chrono::milliseconds kDefaultReplyTimeout{60000};
constexpr int kRequestTimeoutSeconds = 50;
// The reply is awaited in slices this long, with a keep-alive ping between them: a minute
// spent waiting for the history peer must not look like a hang to systemd's watchdog.
constexpr std::chrono::milliseconds kAliveSlice{1000};

std::chrono::milliseconds replyTimeout = kDefaultReplyTimeout;

std::string formatTopic(const char* pattern, pid_t pid, uint16_t counter) {
  return fmt::vformat(pattern, fmt::make_format_args(pid, counter));
}

// A JSON string literal, escaped as the serializer escapes it.
std::string jsonString(const std::string& text) { return nlohmann::json(text).dump(); }

}  // namespace

std::deque<std::string> makeRequests(const std::string& id,
                                     const std::unique_ptr<kavrion::IoInfo>& io,
                                     std::pair<int64_t, int64_t> interval) {
  const auto [start, end] = interval;
  // The text the JSON serializer would give the request object (keys sorted, no blanks),
  // written directly: only the cell changes from one request to the next.
  const std::string head = fmt::format(R"({{"id":{},"params":{{"channels":[[{},)",
                                        jsonString(id), jsonString(io->deviceName));
  const std::string tail = fmt::format(
      R"(]],"limit":1,"min_interval":{},"request_timeout":{},"timestamp":{{"gt":{},"lt":{}}},"ver":0}}}})",
      end - start, kRequestTimeoutSeconds, start, end);
  std::deque<std::string> requests;
  for (const std::string& cell : io->getSortedCells()) {
    std::string request = head;
    requests.push_back(std::move(request.append(jsonString(cell)).append(tail)));
  }
  return requests;
}

void db_resubscribe(bool initial, std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client) {
  if (!initial) {
    client->Unsubscribe(bd_topic);
    topic_counter = static_cast<uint16_t>(topic_counter + 1);
    if (topic_counter == kCounterLimit) {
      topic_counter = 0;
    }
  }
  const pid_t pid = getpid();
  send_topic = formatTopic(kRequestTopicPattern, pid, topic_counter);
  bd_topic = formatTopic(kReplyTopicPattern, pid, topic_counter);
  client->ClearRecievedQueue();
  client->Subscribe(bd_topic, kavrion::mosquitto::Qos::AtMostOnce, false);
}

ReceivedReply exchangeRequest(kavrion::mosquitto::MqttAsyncWrapper& client,
                              const std::string& request, const AwaitedReply& awaited,
                              const std::function<void()>& whileWaiting) {
  client.ClearRecievedQueue();
  client.Send(send_topic, request, kavrion::mosquitto::Qos::AtMostOnce, false);
  const auto deadline = std::chrono::steady_clock::now() + replyTimeout;
  bool strayRecorded = false;
  for (;;) {
    notifyAlive();
    if (whileWaiting) whileWaiting();
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) {
      throw std::runtime_error(kavrion::mosquitto::noMessageText(bd_topic, replyTimeout));
    }
    kavrion::mosquitto::msg_t message;
    try {
      message = client.Receive(bd_topic, std::min(left, kAliveSlice));
    } catch (const std::runtime_error&) {
      continue;  // Receive throws only when its slice ran out; the deadline decides above
    }
    ReceivedReply reply = readReply(kavrion::mosquitto::payloadText(std::move(message)));
    const std::string stray = strayReason(reply.document, awaited);
    if (stray.empty()) return reply;
    if (!strayRecorded) {
      NV_TRACE(P7::getTrace(), P7::kWarning,
               "Reply from wb-mqtt-db for another request dropped (%s), still waiting for %s of "
               "%s over %ld-%ld",
               P7::excerpt(stray).c_str(), awaited.control.c_str(), awaited.id.c_str(),
               static_cast<long>(awaited.from), static_cast<long>(awaited.to));
      strayRecorded = true;
    }
  }
}

std::chrono::milliseconds setReplyTimeout(std::chrono::milliseconds timeout) {
  return std::exchange(replyTimeout, timeout);
}

}  // namespace norvane
