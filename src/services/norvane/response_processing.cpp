// Turning the replies of one collection step into one meter message.
#include "response_processing.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "p7_trace.h"

namespace norvane {
namespace {

using nlohmann::json;

std::string generateMsgId() {
  // Seeded once, from a single 32-bit word of the random device; the engine is only ever
  // drawn from by the collection thread.
  static std::mt19937 rng = [] {
    std::random_device device("default");
    return std::mt19937(device());
  }();
  return formatMsgId(rng);
}

// Strings follow std::stod: leading blanks skipped, trailing garbage ignored, and
// std::invalid_argument / std::out_of_range when no representable number starts the text.
double toDouble(const json& member) {
  if (member.is_string()) {
    return std::stod(member.get_ref<const std::string&>());
  }
  return member.get<double>();
}

std::string compact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void storeRow(json& entry, const kavrion::IoInfo& io, const json& row) {
  const std::string topic = row.at("control").get<std::string>();
  const double value = toDouble(row.at("value"));
  const double max = row.contains("max") ? toDouble(row["max"]) : value;
  const double min = row.contains("min") ? toDouble(row["min"]) : value;
  io.processValue(entry["data"], topic, value, max, min);
}

void dropEntry(json& entries, const std::string& id, const std::exception& error,
               const std::string& replyText) {
  NV_TRACE(P7::getTrace(), P7::kError, "Error while postpocessing value: %s Input data: %s",
           error.what(), replyText.c_str());
  entries.erase(id);
}

void repackReply(json& message, const std::string& replyText, const kavrion::IoMap& ioMap) {
  const json reply = json::parse(replyText, nullptr, true, false);
  const std::string id = reply.at("id").get<std::string>();
  const auto found = ioMap.find(id);
  if (found == ioMap.end()) {
    throw std::runtime_error(fmt::vformat("DeviceInfo id \"{}\" not found!", fmt::make_format_args(id)));
  }
  const kavrion::IoInfo& io = *found->second;
  json& entries = message["io"];
  entries[id]["type"] = io.type;

  const auto result = reply.find("result");
  if (result == reply.end() || result->is_null()) {
    return;
  }
  const auto values = result->find("values");
  if (values == result->end()) {
    return;
  }
  for (const json& row : *values) {
    // A bad row drops everything stored for the entry so far; a later good row starts it again.
    try {
      storeRow(entries[id], io, row);
    } catch (const std::invalid_argument& e) {
      dropEntry(entries, id, e, replyText);
    } catch (const std::out_of_range& e) {
      dropEntry(entries, id, e, replyText);
    } catch (const std::runtime_error& e) {
      dropEntry(entries, id, e, replyText);
    }
  }
}

// An entry whose every row failed before a later reply set its "type" again has no "data";
// the completeness check cannot read it, and it carries nothing worth publishing.
void dropEntriesWithoutData(json& message) {
  json& entries = message["io"];
  if (!entries.is_object()) {
    return;
  }
  std::vector<std::string> empty;
  for (const auto& [id, entry] : entries.items()) {
    if (!entry.contains("data")) {
      empty.push_back(id);
    }
  }
  for (const std::string& id : empty) {
    entries.erase(id);
  }
}

}  // namespace

std::string formatMsgId(std::mt19937& engine) {
  std::uniform_int_distribution<uint64_t> draw(0, UINT64_MAX);
  const uint64_t id = draw(engine);
  return fmt::format("{:016x}", id);
}

void postProcessResponse(json& message, const kavrion::IoMap& ioMap) {
  P7::TraceObject* trace = P7::getTrace();
  json& entries = message["io"];
  for (auto& [id, entry] : entries.items()) {
    const auto found = ioMap.find(id);
    if (found == ioMap.end()) {
      throw std::runtime_error(fmt::vformat("IO id \"{}\" not found!", fmt::make_format_args(id)));
    }
    const kavrion::IoInfo& io = *found->second;
    json& data = entry["data"];
    auto cells = data.get<std::map<std::string, json>>();
    std::vector<std::string> eraseList;
    for (auto& [name, cell] : cells) {
      try {
        // Missing arrays are added to the copy as null, so the record shows them as null.
        const auto maxCount = cell["max"].size();
        const auto avgCount = cell["avg"].size();
        const auto minCount = cell["min"].size();
        const int target = io.getTargetSize(name, static_cast<int>(avgCount));
        const auto targetCount = static_cast<json::size_type>(target);
        if (maxCount == targetCount && avgCount == targetCount &&
            minCount == targetCount) {
          continue;
        }
        NV_TRACE(trace, P7::kInfo, "ERASE cell '%s' from IO '%s'. target_size=%d, got '%s'",
                 name.c_str(), id.c_str(), target, compact(cell).c_str());
        eraseList.push_back(name);
      } catch (...) {
        NV_TRACE(trace, P7::kError, "PARSING ERROR!! %s", compact(message).c_str());
      }
    }
    for (const std::string& name : eraseList) {
      data.erase(name);
    }
  }
}

namespace {

json startMessage(int64_t timestamp) {
  json message = json::object();
  message["timestamp"] = timestamp;
  message["msg_id"] = generateMsgId();
  return message;
}

std::string finishMessage(json& message, const kavrion::IoMap& ioMap) {
  dropEntriesWithoutData(message);
  postProcessResponse(message, ioMap);
  return compact(message);
}

}  // namespace

std::string repackResponse(const std::list<std::string>& replies, const kavrion::IoMap& ioMap,
                           int64_t timestamp) {
  if (replies.empty()) {
    return {};
  }
  json message = startMessage(timestamp);
  for (const std::string& reply : replies) {
    repackReply(message, reply, ioMap);
  }
  return finishMessage(message, ioMap);
}

std::string repackResponse(std::list<std::string>&& replies, const kavrion::IoMap& ioMap,
                           int64_t timestamp) {
  if (replies.empty()) {
    return {};
  }
  json message = startMessage(timestamp);
  // Each reply goes as soon as it is in the message, so the texts and the message tree do
  // not take memory at the same time.
  while (!replies.empty()) {
    repackReply(message, replies.front(), ioMap);
    replies.pop_front();
  }
  return finishMessage(message, ioMap);
}

}  // namespace norvane
