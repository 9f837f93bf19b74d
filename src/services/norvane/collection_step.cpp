// One collection step: gathers a reply for every cell of every entry over one window and
// publishes the meter message.
#include "collection_step.h"

#include <cmath>
#include <deque>
#include <list>
#include <optional>
#include <string>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "availability_cache.h"
#include "history_client.h"
#include "history_reply.h"
#include "p7_trace.h"
#include "response_processing.h"
#include "service_state.h"

namespace norvane {
namespace {

using nlohmann::json;
using Client = kavrion::mosquitto::MqttAsyncWrapper;

constexpr const char* kMeterTopic = "/kv/bridge/data/meter";
// A peer that misses two requests in a row is taken for down: waiting out the rest of the
// window's requests would only starve the live windows.
constexpr int kFailuresBeforeGivingUp = 2;

struct Channel {
  std::string device;
  std::string control;
};

Channel channelOf(const json& request) {
  const json& channel = request.at("params").at("channels").at(0);
  return {channel.at(0).get<std::string>(), channel.at(1).get<std::string>()};
}

std::string controlKey(const Channel& channel) {
  return fmt::vformat("{}.{}", fmt::make_format_args(channel.device, channel.control));
}

bool isAvailable(const std::string& id, const std::string& pingTopic) {
  std::lock_guard<std::mutex> lock(m_mutex_error_map);
  const auto found = m_error_map.find(pingTopic);
  if (found != m_error_map.end() && !found->second.available) {
    NV_TRACE(P7::getTrace(), P7::kInfo, "Устройство \"%s\" не доступно. Определяли по \"%s\".",
             id.c_str(), pingTopic.c_str());
    return false;
  }
  return true;
}

// The reply a current step builds for one channel from the live-value cache.
std::optional<std::string> cacheReply(const json& request, const Channel& channel) {
  const std::string key = controlKey(channel);
  const std::optional<data_t> record = readCacheRecord(key);
  if (!record) {
    return std::nullopt;
  }
  // JSON has no spelling for them: the meter message would carry null, which no reader
  // can take for a figure.
  if (!std::isfinite(record->value) || !std::isfinite(record->min) ||
      !std::isfinite(record->max)) {
    NV_TRACE(P7::getTrace(), P7::kWarning, "Non-finite value of %s left out", key.c_str());
    return std::nullopt;
  }
  return buildCacheReply(request, *record);
}

// The requests of an old step, asked of wb-mqtt-db one at a time.
class HistoryRound {
 public:
  HistoryRound(std::shared_ptr<Client> client, const kavrion::IoMap& ioMap)
      : client_(std::move(client)), ioMap_(ioMap) {}

  void ask(const std::string& request, std::list<std::string>& replies) {
    ++exchanges_;
    const std::optional<std::string> text = exchange(request);
    if (!text) {
      renewTopics();
      if (++failuresInRow_ >= kFailuresBeforeGivingUp) givenUp_ = true;
      return;
    }
    failuresInRow_ = 0;
    ++answered_;
    keep(*text, replies);
  }

  bool givenUp() const { return givenUp_; }
  // The window must be asked again whole rather than used up: published now, the cells
  // never asked would be lost for good.
  bool postponed() const { return givenUp_ || (exchanges_ > 0 && answered_ == 0); }

 private:
  std::optional<std::string> exchange(const std::string& request) {
    kavrion::mosquitto::msg_t reply;
    try {
      reply = exchangeRequest(*client_, request);
    } catch (const std::runtime_error& e) {
      NV_TRACE(P7::getTrace(), P7::kError, "%s", e.what());
      return std::nullopt;
    }
    if (reply.payload.empty()) {
      NV_TRACE(P7::getTrace(), P7::kError, "Empty respone from wb-mqtt-db: %s", request.c_str());
      return std::nullopt;
    }
    return std::string(reply.payload.begin(), reply.payload.end());
  }

  // A late reply to the request just given up must not be taken for the next one.
  void renewTopics() {
    try {
      db_resubscribe(false, client_);
    } catch (const std::exception& e) {
      NV_TRACE(P7::getTrace(), P7::kError, "Renewing the wb-mqtt-db topics failed: %s", e.what());
    }
  }

  void keep(const std::string& text, std::list<std::string>& replies) const {
    json reply;
    // Besides text that is not JSON, a number no double holds ("value":1e400) fails the
    // parse with out_of_range 406; escaping the step, it would end the service on every
    // start that asks for the same window again.
    try {
      reply = json::parse(text);
    } catch (const json::exception& e) {
      NV_TRACE(P7::getTrace(), P7::kError, "%s", e.what());
      return;
    }
    switch (classifyReply(reply, ioMap_)) {
      case ReplyShape::kNoValues:
        return;
      case ReplyShape::kMalformed:
        NV_TRACE(P7::getTrace(), P7::kError, "Malformed reply from wb-mqtt-db: %s", text.c_str());
        return;
      case ReplyShape::kUsable:
        replies.push_back(text);
        return;
    }
  }

  std::shared_ptr<Client> client_;
  const kavrion::IoMap& ioMap_;
  int exchanges_ = 0;
  int answered_ = 0;
  int failuresInRow_ = 0;
  bool givenUp_ = false;
};

}  // namespace

std::string buildCacheReply(const json& request, const data_t& record) {
  const Channel channel = channelOf(request);
  json row;
  row["control"] = channel.control;
  row["device"] = channel.device;
  row["max"] = record.max;
  row["min"] = record.min;
  row["timestamp"] = request.at("params").at("timestamp").at("lt");
  row["value"] = record.value;
  json reply;
  reply["id"] = request.at("id");
  reply["result"]["values"] = json::array({row});
  return reply.dump();
}

StepOutcome performStep(std::pair<int64_t, int64_t> interval, bool current,
                        const kavrion::IoMap& ioMap, std::shared_ptr<Client> client) {
  NV_TRACE(P7::getTrace(), P7::kInfo, "A:%ld\tB:%ld", static_cast<long>(interval.first),
           static_cast<long>(interval.second));
  std::list<std::string> replies;
  HistoryRound history(client, ioMap);
  for (const auto& [id, io] : ioMap) {
    // An entry without cells yields no request and is simply passed over.
    const bool available = !current || isAvailable(id, io->getPingTopic());
    std::deque<std::string> requests = makeRequests(id, io, interval);
    while (!requests.empty() && !history.givenUp()) {
      const std::string request = std::move(requests.front());
      requests.pop_front();
      const json parsed = json::parse(request);
      const Channel channel = channelOf(parsed);
      if (!current) {
        history.ask(request, replies);
      } else if (available) {
        if (std::optional<std::string> reply = cacheReply(parsed, channel)) {
          replies.push_back(std::move(*reply));
        }
      } else {
        // The first window after the device recovers must not carry the outage's range.
        discardCacheRecord(controlKey(channel));
      }
    }
  }
  if (history.postponed()) {
    NV_TRACE(P7::getTrace(), P7::kError, "wb-mqtt-db does not answer, window %ld-%ld postponed",
             static_cast<long>(interval.first), static_cast<long>(interval.second));
    return StepOutcome::kPostponed;
  }
  const std::string message = repackResponse(std::move(replies), ioMap, interval.second);
  if (!message.empty()) {
    client->Send(kMeterTopic, message, kavrion::mosquitto::Qos::ExactlyOnce, false);
  }
  NV_TRACE(P7::getTrace(), P7::kInfo, "Request complete! Response:\n%s", message.c_str());
  return StepOutcome::kDone;
}

}  // namespace norvane
