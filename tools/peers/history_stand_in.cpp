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

namespace {

struct NamedMalformation {
  Malformation malformation;
  const char* name;
};

constexpr NamedMalformation kMalformations[] = {
    {Malformation::kNotJson, "not-json"},
    {Malformation::kEmpty, "empty"},
    {Malformation::kNotAnObject, "not-object"},
    {Malformation::kUnknownId, "unknown-id"},
    {Malformation::kNoControl, "no-control"},
    {Malformation::kNoValue, "no-value"},
    {Malformation::kFigureNotText, "figure-not-text"},
    {Malformation::kNoNumber, "no-number"},
    {Malformation::kOutOfRange, "out-of-range"},
    {Malformation::kNoValues, "no-values"},
    {Malformation::kNull, "null"},
};

// A well-formed reply to the request, or to a made-up one when the text is no request.
nlohmann::json wellFormedReply(const std::string& requestText) {
  try {
    return nlohmann::json::parse(buildHistoryReply(requestText));
  } catch (const nlohmann::json::exception&) {
    return nlohmann::json::parse(
        R"({"id":"m1","result":{"values":[{"control":"P","device":"meter_1",)"
        R"("max":"2","min":"1","timestamp":0,"value":"1.5"}]}})");
  }
}

}  // namespace

const std::vector<Malformation>& allMalformations() {
  static const std::vector<Malformation> all = [] {
    std::vector<Malformation> list;
    for (const auto& entry : kMalformations) list.push_back(entry.malformation);
    return list;
  }();
  return all;
}

std::string malformationName(Malformation malformation) {
  for (const auto& entry : kMalformations) {
    if (entry.malformation == malformation) return entry.name;
  }
  throw std::invalid_argument("unknown malformation");
}

Malformation malformationNamed(const std::string& name) {
  for (const auto& entry : kMalformations) {
    if (name == entry.name) return entry.malformation;
  }
  throw std::invalid_argument("no malformation is called \"" + name + "\"");
}

std::string buildMalformedReply(Malformation malformation, const std::string& requestText) {
  nlohmann::json reply = wellFormedReply(requestText);
  nlohmann::json& row = reply["result"]["values"][0];
  switch (malformation) {
    case Malformation::kNotJson:
      return R"({"id":"m1","result":)";
    case Malformation::kEmpty:
      return "";
    case Malformation::kNotAnObject:
      return nlohmann::json::array({reply}).dump();
    case Malformation::kUnknownId:
      reply["id"] = "no_such_entry";
      break;
    case Malformation::kNoControl:
      row.erase("control");
      break;
    case Malformation::kNoValue:
      row.erase("value");
      break;
    case Malformation::kFigureNotText:
      row["max"] = nlohmann::json::object({{"v", 1}});
      break;
    case Malformation::kNoNumber:
      row["value"] = "n/a";
      break;
    case Malformation::kOutOfRange:
      row["min"] = "1e999";
      break;
    case Malformation::kNoValues:
      reply["result"]["values"] = nlohmann::json::array();
      break;
    case Malformation::kNull:
      return "null";
  }
  return reply.dump();
}

Behaviour answer(std::chrono::milliseconds delay) {
  Behaviour behaviour;
  behaviour.delay = delay;
  return behaviour;
}

Behaviour silence() {
  Behaviour behaviour;
  behaviour.kind = Behaviour::Kind::kSilent;
  return behaviour;
}

Behaviour sendText(std::string text) {
  Behaviour behaviour;
  behaviour.kind = Behaviour::Kind::kText;
  behaviour.text = std::move(text);
  return behaviour;
}

Behaviour answerAfter(std::vector<std::string> strays) {
  Behaviour behaviour = answer();
  behaviour.strays = std::move(strays);
  return behaviour;
}

Behaviour malformed(std::vector<Malformation> malformations) {
  if (malformations.empty()) throw std::invalid_argument("malformed replies need a malformation");
  Behaviour behaviour;
  behaviour.kind = Behaviour::Kind::kMalformed;
  behaviour.malformations = std::move(malformations);
  return behaviour;
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

bool HistoryStandIn::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
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
    } else if (behaviour.kind == Behaviour::Kind::kMalformed) {
      const auto& faults = behaviour.malformations;
      reply = buildMalformedReply(faults[malformedCount_++ % faults.size()], text);
    } else {
      try {
        reply = buildHistoryReply(text);
      } catch (const std::exception&) {
        continue;  // not a request: the real peer would not answer it either
      }
    }
    sendReply(message.topic + "/reply", reply, behaviour);
  }
}

void HistoryStandIn::sendReply(const std::string& topic, const std::string& text,
                               const Behaviour& behaviour) {
  constexpr std::size_t kReplayDistance = 4;
  const auto send = [&](const std::string& payload) {
    client_->Send(topic, payload, kavrion::mosquitto::Qos::AtMostOnce, false);
  };
  for (const std::string& stray : behaviour.strays) send(stray);
  ++replies_;
  if (behaviour.replayEvery > 0 && replies_ % behaviour.replayEvery == 0 &&
      sent_.size() == kReplayDistance) {
    send(sent_.front());
  }
  send(text);
  if (behaviour.twice) send(text);
  sent_.push_back(text);
  if (sent_.size() > kReplayDistance) sent_.pop_front();
}

}  // namespace norvane::peers
