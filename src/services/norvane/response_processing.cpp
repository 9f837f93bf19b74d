// Turning the replies of one collection step into one meter message.
#include "response_processing.h"

#include <cstdint>
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

// What `cell[key].size()` gives on a copy of the cell, without copying it: a missing array
// counts as none, and a cell that is not an object cannot be counted.
json::size_type countOf(const json& cell, const char* key) {
  if (cell.is_null()) return 0;
  if (!cell.is_object()) throw std::domain_error("cell is not an object");
  const auto found = cell.find(key);
  return found == cell.end() ? 0 : found->size();
}

// The cell as the erase record shows it: the missing arrays as null.
json shownCell(const json& cell) {
  json shown = cell.is_null() ? json::object() : cell;
  for (const char* key : {"max", "avg", "min"}) shown[key];
  return shown;
}

// Erases every cell of one entry whose figures do not each hold the target number of
// values; @p message gives the text the parsing-error record shows.
void checkEntry(const std::string& id, json& entry, const kavrion::IoInfo& io,
                const std::function<std::string()>& message) {
  P7::TraceObject* trace = P7::getTrace();
  json& data = entry["data"];
  if (!data.is_object()) {
    throw std::runtime_error(fmt::format("IO \"{}\": \"data\" is not an object", id));
  }
  std::vector<std::string> eraseList;
  for (const auto& [name, cell] : data.items()) {
    try {
      const auto maxCount = countOf(cell, "max");
      const auto avgCount = countOf(cell, "avg");
      const auto minCount = countOf(cell, "min");
      const int target = io.getTargetSize(name, static_cast<int>(avgCount));
      const auto targetCount = static_cast<json::size_type>(target);
      if (maxCount == targetCount && avgCount == targetCount && minCount == targetCount) {
        continue;
      }
      NV_TRACE(trace, P7::kInfo, "ERASE cell '%s' from IO '%s'. target_size=%d, got '%s'",
               name.c_str(), id.c_str(), target, P7::excerpt(compact(shownCell(cell))).c_str());
      eraseList.push_back(name);
    } catch (...) {
      NV_TRACE(trace, P7::kError, "PARSING ERROR!! %s", P7::excerpt(message()).c_str());
    }
  }
  for (const std::string& name : eraseList) {
    data.erase(name);
  }
}

// The message as the parsing-error record shows it when only some entries are at hand.
json startMessage(int64_t timestamp, const std::string& msgId) {
  json message = json::object();
  message["timestamp"] = timestamp;
  message["msg_id"] = msgId;
  return message;
}

const kavrion::IoInfo& ioOf(const kavrion::IoMap& ioMap, const std::string& id, const char* what) {
  const auto found = ioMap.find(id);
  if (found == ioMap.end()) {
    throw std::runtime_error(fmt::format("{} id \"{}\" not found!", what, id));
  }
  return *found->second;
}

}  // namespace

std::string formatMsgId(std::mt19937& engine) {
  std::uniform_int_distribution<uint64_t> draw(0, UINT64_MAX);
  const uint64_t id = draw(engine);
  return fmt::format("{:016x}", id);
}

void postProcessResponse(json& message, const kavrion::IoMap& ioMap) {
  json& entries = message["io"];
  for (auto& [id, entry] : entries.items()) {
    checkEntry(id, entry, ioOf(ioMap, id, "IO"), [&message] { return compact(message); });
  }
}

std::string repackResponse(const std::list<std::string>& replies, const kavrion::IoMap& ioMap,
                           int64_t timestamp) {
  MeterMessage message(ioMap, timestamp);
  for (const std::string& reply : replies) {
    message.addReply(json::parse(reply, nullptr, true, false), reply);
  }
  return message.finish();
}

// The keys in the order the serializer sorts them: "io", then "msg_id" and "timestamp".
MeterMessage::MeterMessage(const kavrion::IoMap& ioMap, int64_t timestamp)
    : ioMap_(ioMap), timestamp_(timestamp), text_(R"({"io":{)") {}

const kavrion::IoInfo& MeterMessage::entryInfo(const std::string& id) const {
  return ioOf(ioMap_, id, "DeviceInfo");
}

json& MeterMessage::openEntry(const std::string& id, const kavrion::IoInfo& io) {
  if (lastClosed_ && id <= *lastClosed_) {
    throw std::logic_error(fmt::format("meter message entry \"{}\" is already written", id));
  }
  if (msgId_.empty()) msgId_ = generateMsgId();
  json& entry = open_[id];
  entry["type"] = io.type;
  return entry;
}

// A bad row drops everything stored for the entry so far; a later good row starts it again.
// Only the errors of reading a row are the row's fault; anything else goes on up.
void MeterMessage::storeOrDrop(const std::string& id, const std::function<void()>& store,
                               const std::function<std::string()>& text) {
  const auto drop = [&](const std::exception& error) {
    NV_TRACE(P7::getTrace(), P7::kError, "Error while postpocessing value: %s Input data: %s",
             P7::excerpt(error.what()).c_str(), P7::excerpt(text()).c_str());
    open_.erase(id);
  };
  try {
    store();
  } catch (const std::invalid_argument& e) {
    drop(e);
  } catch (const std::out_of_range& e) {
    drop(e);
  } catch (const std::runtime_error& e) {
    drop(e);
  }
}

void MeterMessage::addReply(const json& reply, const std::string& text) {
  const std::string id = reply.at("id").get<std::string>();
  const kavrion::IoInfo& io = entryInfo(id);
  openEntry(id, io);
  const auto result = reply.find("result");
  if (result == reply.end() || result->is_null()) return;
  const auto values = result->find("values");
  if (values == result->end()) return;
  for (const json& row : *values) {
    storeOrDrop(id, [&] { storeRow(open_[id], io, row); }, [&text] { return text; });
  }
}

void MeterMessage::addRow(const std::string& id, const std::string& control, double value,
                          double max, double min, const std::function<std::string()>& text) {
  const kavrion::IoInfo& io = entryInfo(id);
  json& entry = openEntry(id, io);
  storeOrDrop(id, [&] { io.processValue(entry["data"], control, value, max, min); }, text);
}

void MeterMessage::writeEntry(const std::string& id, json& entry) {
  // An entry whose every row failed before a later reply set its "type" again has no
  // "data"; it carries nothing worth publishing.
  if (!entry.contains("data")) return;
  checkEntry(id, entry, entryInfo(id), [&] {
    json shown = startMessage(timestamp_, msgId_);
    shown["io"][id] = entry;
    return compact(shown);
  });
  text_ += compact(json(id));
  text_ += ':';
  text_ += compact(entry);
  text_ += ',';
}

void MeterMessage::closeUpTo(const std::string& id) {
  while (!open_.empty() && open_.begin().key() <= id) {
    writeEntry(open_.begin().key(), open_.begin().value());
    lastClosed_ = open_.begin().key();
    open_.erase(open_.begin());
  }
  if (!lastClosed_ || *lastClosed_ < id) lastClosed_ = id;
}

std::string MeterMessage::finish() {
  if (msgId_.empty()) return {};
  for (auto& [id, entry] : open_.items()) writeEntry(id, entry);
  open_ = json::object();
  if (text_.back() == ',') text_.pop_back();
  text_ += R"(},"msg_id":)";
  text_ += compact(json(msgId_));
  text_ += R"(,"timestamp":)";
  text_ += std::to_string(timestamp_);
  text_ += '}';
  return std::move(text_);
}

}  // namespace norvane
