// A stand-in for wb-mqtt-db's history call.
#include "peers/history_stand_in.h"

#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "peers/series.h"

namespace norvane::peers {

const char* const kHistoryRequestFilter = "/rpc/v1/db_logger/history/get_values/+";

namespace {
// How often the serving thread looks at its stop flag.
constexpr std::chrono::milliseconds kPollInterval{100};
}  // namespace

std::string buildHistoryReply(const std::string& requestText) {
  const nlohmann::json request = nlohmann::json::parse(requestText);
  const nlohmann::json& params = request.at("params");
  const nlohmann::json& channel = params.at("channels").at(0);
  const std::string device = channel.at(0).get<std::string>();
  const std::string control = channel.at(1).get<std::string>();
  const int64_t gt = params.at("timestamp").at("gt").get<int64_t>();
  const int64_t lt = params.at("timestamp").at("lt").get<int64_t>();
  const WindowFigures figures = windowFigures(device, control, gt, lt);

  nlohmann::json row;
  row["control"] = control;
  row["device"] = device;
  row["value"] = formatFigure(figures.average);
  row["min"] = formatFigure(figures.min);
  row["max"] = formatFigure(figures.max);
  row["timestamp"] = gt;
  nlohmann::json reply;
  reply["id"] = request.at("id");
  reply["result"]["values"] = nlohmann::json::array({row});
  return reply.dump();
}

Behaviour answer(std::chrono::milliseconds delay) {
  return Behaviour{Behaviour::Kind::kAnswer, {}, delay};
}

Behaviour silence() {
  return Behaviour{Behaviour::Kind::kSilent, {}, std::chrono::milliseconds{0}};
}

Behaviour sendText(std::string text) {
  return Behaviour{Behaviour::Kind::kText, std::move(text), std::chrono::milliseconds{0}};
}

HistoryStandIn::HistoryStandIn(const std::string& serverUri, const std::string& clientId,
                               Behaviour usual)
    : client_(std::make_unique<kavrion::mosquitto::MqttAsyncWrapper>(clientId, serverUri)),
      usual_(std::move(usual)) {
  client_->Connect(true);
  client_->Subscribe(kHistoryRequestFilter, kavrion::mosquitto::Qos::AtMostOnce, false);
  thread_ = std::thread([this] { serve(); });
}

HistoryStandIn::~HistoryStandIn() {
  stop_ = true;
  thread_.join();
}

void HistoryStandIn::script(std::deque<Behaviour> behaviours) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(behaviours);
}

std::vector<ReceivedRequest> HistoryStandIn::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool HistoryStandIn::waitForRequests(std::size_t count,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

Behaviour HistoryStandIn::next() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (script_.empty()) {
    return usual_;
  }
  Behaviour behaviour = std::move(script_.front());
  script_.pop_front();
  return behaviour;
}

void HistoryStandIn::serve() {
  while (!stop_) {
    kavrion::mosquitto::msg_t message;
    try {
      message = client_->Receive(kHistoryRequestFilter, kPollInterval);
    } catch (const std::runtime_error&) {
      continue;  // nothing within the poll interval
    }
    std::string text(message.payload.begin(), message.payload.end());
    const Behaviour behaviour = next();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back({message.topic, text});
    }
    arrived_.notify_all();
    if (behaviour.kind == Behaviour::Kind::kSilent) {
      continue;
    }
    std::this_thread::sleep_for(behaviour.delay);
    std::string reply;
    if (behaviour.kind == Behaviour::Kind::kText) {
      reply = behaviour.text;
    } else {
      try {
        reply = buildHistoryReply(text);
      } catch (const std::exception&) {
        continue;  // not a request: the real peer would not answer it either
      }
    }
    client_->Send(message.topic + "/reply", reply, kavrion::mosquitto::Qos::AtMostOnce, false);
  }
}

}  // namespace norvane::peers
