// The history call to wb-mqtt-db: request texts, request/reply topics and their renewal.
#include "history_client.h"

#include <unistd.h>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "service_state.h"

namespace norvane {
namespace {

constexpr const char* kRequestTopicPattern = "/rpc/v1/db_logger/history/get_values/pid_{}_N{}";
constexpr const char* kReplyTopicPattern = "/rpc/v1/db_logger/history/get_values/pid_{}_N{}/reply";
// The counter never reaches 65535, so no topic carries it.
constexpr uint16_t kCounterLimit = 65535;
// Longer than the "request_timeout" the peer is asked to keep (50 s).
constexpr std::chrono::milliseconds kDefaultReplyTimeout{60000};
constexpr int kRequestTimeoutSeconds = 50;

std::chrono::milliseconds replyTimeout = kDefaultReplyTimeout;

std::string formatTopic(const char* pattern, pid_t pid, uint16_t counter) {
  return fmt::vformat(pattern, fmt::make_format_args(pid, counter));
}

}  // namespace

std::deque<std::string> makeRequests(const std::string& id,
                                     const std::unique_ptr<kavrion::IoInfo>& io,
                                     std::pair<int64_t, int64_t> interval) {
  const auto [start, end] = interval;
  std::deque<std::string> requests;
  for (const std::string& cell : io->getSortedCells()) {
    nlohmann::json request;
    request["id"] = id;
    nlohmann::json& params = request["params"];
    params["ver"] = 0;
    params["channels"] = nlohmann::json::array({nlohmann::json::array({io->deviceName, cell})});
    params["request_timeout"] = kRequestTimeoutSeconds;
    params["limit"] = 1;
    params["min_interval"] = end - start;
    params["timestamp"]["gt"] = start;
    params["timestamp"]["lt"] = end;
    requests.push_back(request.dump());
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

kavrion::mosquitto::msg_t exchangeRequest(kavrion::mosquitto::MqttAsyncWrapper& client,
                                          const std::string& request) {
  client.ClearRecievedQueue();
  client.Send(send_topic, request, kavrion::mosquitto::Qos::AtMostOnce, false);
  return client.Receive(bd_topic, replyTimeout);
}

std::chrono::milliseconds setReplyTimeout(std::chrono::milliseconds timeout) {
  return std::exchange(replyTimeout, timeout);
}

}  // namespace norvane
