// One collection step: gathers a reply for every cell of every entry over one window and
// publishes the meter message.
#include "collection_step.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>
#include <string>
#include <vector>

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
constexpr int kFailuresBeforeGivingUp = 2;

std::string controlKey(const std::string& device, const std::string& control) {
  std::string key;
  key.reserve(device.size() + 1 + control.size());
  return key.append(device).append(1, '.').append(control);
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

// A live-value record fit for the meter message.
std::optional<data_t> liveRecord(const std::string& key) {
  std::optional<data_t> record = readCacheRecord(key);
  // JSON has no spelling for them: the meter message would carry null, which no reader
  // can take for a figure.
  if (record && (!std::isfinite(record->value) || !std::isfinite(record->min) ||
                 !std::isfinite(record->max))) {
    NV_TRACE(P7::getTrace(), P7::kWarning, "Non-finite value of %s left out", key.c_str());
    return std::nullopt;
  }
  return record;
}

// The entries in the meter message's own order, so that each can be written out as soon
// as its cells are in and only one is ever held as a tree.
std::vector<const kavrion::IoMap::value_type*> sortedEntries(const kavrion::IoMap& ioMap) {
  std::vector<const kavrion::IoMap::value_type*> entries;
  entries.reserve(ioMap.size());
  for (const auto& entry : ioMap) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  return entries;
}

// A current step: every control of every available entry from the live-value cache.
void gatherLive(MeterMessage& message, const kavrion::IoMap& ioMap, int64_t windowEnd) {
  for (const auto* entry : sortedEntries(ioMap)) {
    const std::string& id = entry->first;
    const kavrion::IoInfo& io = *entry->second;
    const bool available = isAvailable(id, io.getPingTopic());
    for (const std::string& cell : io.getSortedCells()) {
      const std::string key = controlKey(io.deviceName, cell);
      if (!available) {
        // The first window after the device recovers must not carry the outage's range.
        discardCacheRecord(key);
      } else if (const std::optional<data_t> record = liveRecord(key)) {
        message.addRow(id, cell, record->value, record->max, record->min, [&] {
          return buildCacheReply(id, {io.deviceName, cell}, windowEnd, *record);
        });
      }
    }
    message.closeUpTo(id);
  }
}

// A request that got no usable reply.
struct Failure {
  std::string channel;  // "<cell> of <id>"
  std::string reason;   // short: the one record of a postponed or given-up window lists them
  std::string record;   // the record of a failure in a window that goes on
};

// Names the failures of a window, the first few of them: a record stays readable however
// many cells a window has.
std::string listFailures(const std::vector<Failure>& failures) {
  constexpr std::size_t kListed = 10;
  std::string list;
  for (std::size_t i = 0; i < failures.size() && i < kListed; ++i) {
    if (i > 0) list += ", ";
    list += failures[i].channel + " (" + failures[i].reason + ")";
  }
  if (failures.size() > kListed) list += fmt::format(" and {} more", failures.size() - kListed);
  return list;
}

// The requests of an old step, asked of wb-mqtt-db one at a time.
class HistoryRound {
 public:
  HistoryRound(std::shared_ptr<Client> client, const kavrion::IoMap& ioMap,
               std::pair<int64_t, int64_t> window, const StepOptions& options)
      : client_(std::move(client)), ioMap_(ioMap), window_(window), options_(options) {}

  void ask(const AwaitedReply& awaited, const std::string& request, MeterMessage& message) {
    ++exchanges_;
    std::optional<Failure> failure;
    const std::optional<ReceivedReply> reply = exchange(awaited, request, failure);
    if (!reply) {
      renewTopics();
      failures_.push_back(std::move(*failure));
      ++failuresInRow_;
      return;
    }
    failuresInRow_ = 0;
    ++answered_;
    keep(*reply, message);
  }

  // A peer that misses two requests in a row is taken for down: waiting out the rest of
  // the window's requests would only hold up the back-fill. A last attempt asks them all.
  bool givenUp() const {
    return failuresInRow_ >= kFailuresBeforeGivingUp && !options_.lastAttempt;
  }

  // Writes the round's failure records, one for a window that is postponed or given up in
  // part, and tells the loop how the round ended.
  StepOutcome finish() const {
    if (exchanges_ == 0) return StepOutcome::kDone;
    const long from = static_cast<long>(window_.first);
    const long to = static_cast<long>(window_.second);
    // The window must be asked again whole rather than used up: published now, the cells
    // never asked would be lost for good.
    if (answered_ == 0 || givenUp()) {
      NV_TRACE(P7::getTrace(), P7::kError,
               "wb-mqtt-db does not answer, window %ld-%ld postponed: %s", from, to,
               listFailures(failures_).c_str());
      return answered_ == 0 ? StepOutcome::kPostponed : StepOutcome::kPostponedPartly;
    }
    if (options_.lastAttempt && !failures_.empty()) {
      NV_TRACE(P7::getTrace(), P7::kError,
               "wb-mqtt-db keeps failing the same requests, window %ld-%ld published without %s",
               from, to, listFailures(failures_).c_str());
      return StepOutcome::kDone;
    }
    for (const Failure& failure : failures_) {
      NV_TRACE(P7::getTrace(), P7::kError, "%s", failure.record.c_str());
    }
    return StepOutcome::kDone;
  }

 private:
  std::optional<ReceivedReply> exchange(const AwaitedReply& awaited, const std::string& request,
                                        std::optional<Failure>& failure) {
    const std::string channel = awaited.control + " of " + awaited.id;
    ReceivedReply reply;
    try {
      reply = exchangeRequest(*client_, request, awaited, options_.whileWaiting);
    } catch (const std::runtime_error& e) {
      failure = Failure{channel, "no reply", e.what()};
      return std::nullopt;
    }
    if (reply.text.empty()) {
      failure = Failure{channel, "empty reply", "Empty respone from wb-mqtt-db: " + request};
      return std::nullopt;
    }
    // Its text is not quoted: it may be megabytes long.
    if (reply.rows > kMaxReplyRows) {
      failure = Failure{channel, fmt::format("{} rows", reply.rows),
                        fmt::format("Reply from wb-mqtt-db with {} rows ({} bytes) taken as empty: "
                                    "a request for {} asks for one",
                                    reply.rows, reply.text.size(), channel)};
      return std::nullopt;
    }
    return reply;
  }

  // A late reply to the request just given up must not be taken for the next one.
  void renewTopics() {
    try {
      db_resubscribe(false, client_);
    } catch (const std::exception& e) {
      NV_TRACE(P7::getTrace(), P7::kError, "Renewing the wb-mqtt-db topics failed: %s", e.what());
    }
  }

  void keep(const ReceivedReply& reply, MeterMessage& message) const {
    // Besides text that is not JSON, a number no double holds ("value":1e400) fails the
    // parse with out_of_range 406; escaping the step, it would end the service on every
    // start that asks for the same window again.
    if (!reply.parseError.empty()) {
      NV_TRACE(P7::getTrace(), P7::kError, "%s", P7::excerpt(reply.parseError).c_str());
      return;
    }
    switch (classifyReply(reply.document, ioMap_)) {
      case ReplyShape::kNoValues:
        return;
      case ReplyShape::kMalformed:
        NV_TRACE(P7::getTrace(), P7::kError, "Malformed reply from wb-mqtt-db: %s",
                 P7::excerpt(reply.text).c_str());
        return;
      case ReplyShape::kUsable:
        message.addReply(reply.document, reply.text);
        return;
    }
  }

  std::shared_ptr<Client> client_;
  const kavrion::IoMap& ioMap_;
  std::pair<int64_t, int64_t> window_;
  const StepOptions& options_;
  int exchanges_ = 0;
  int answered_ = 0;
  int failuresInRow_ = 0;
  std::vector<Failure> failures_;
};

}  // namespace

std::string buildCacheReply(const std::string& id, const Channel& channel, int64_t windowEnd,
                            const data_t& record) {
  json row;
  row["control"] = channel.control;
  row["device"] = channel.device;
  row["max"] = record.max;
  row["min"] = record.min;
  row["timestamp"] = windowEnd;
  row["value"] = record.value;
  json reply;
  reply["id"] = id;
  reply["result"]["values"] = json::array({row});
  return reply.dump();
}

StepOutcome performStep(std::pair<int64_t, int64_t> interval, bool current,
                        const kavrion::IoMap& ioMap, std::shared_ptr<Client> client,
                        const StepOptions& options) {
  NV_TRACE(P7::getTrace(), P7::kInfo, "A:%ld\tB:%ld", static_cast<long>(interval.first),
           static_cast<long>(interval.second));
  MeterMessage message(ioMap, interval.second);
  if (current) {
    gatherLive(message, ioMap, interval.second);
  } else {
    HistoryRound history(client, ioMap, interval, options);
    for (const auto& [id, io] : ioMap) {
      // An entry without cells yields no request and is simply passed over.
      const std::deque<std::string> requests = makeRequests(id, io, interval);
      const std::vector<std::string> cells = io->getSortedCells();
      for (std::size_t i = 0; i < requests.size() && !history.givenUp(); ++i) {
        history.ask({id, io->deviceName, cells[i], interval.first, interval.second}, requests[i],
                    message);
      }
      if (history.givenUp()) break;
    }
    const StepOutcome outcome = history.finish();
    if (outcome != StepOutcome::kDone) return outcome;
  }
  const std::string text = message.finish();
  // Recorded before the publish: the record's copy of a large message is gone before Paho
  // makes its own, so the two never take memory at the same time.
  NV_TRACE(P7::getTrace(), P7::kInfo, "Request complete! Response:\n%s", text.c_str());
  if (!text.empty()) {
    client->Send(kMeterTopic, text, kavrion::mosquitto::Qos::ExactlyOnce, false);
  }
  return StepOutcome::kDone;
}

}  // namespace norvane
