// Turning the replies of one collection step into one meter message.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "io_info.h"

namespace norvane {

// Erases every cell whose "max", "avg" and "min" do not each hold the entry's target number
// of values. Throws std::runtime_error `IO id "<id>" not found!` for an entry the map lacks.
void postProcessResponse(nlohmann::json& message, const kavrion::IoMap& ioMap);

// The meter message text for the gathered replies, or an empty text when there are none.
// Throws std::runtime_error `DeviceInfo id "<id>" not found!` for a reply of an unknown entry.
std::string repackResponse(const std::list<std::string>& replies, const kavrion::IoMap& ioMap,
                           int64_t timestamp);

// One meter message in the making. Entries are held as a tree only until they are closed:
// a caller that fills the entries in the message's own (sorted) order and closes each when
// it is complete keeps one entry in memory instead of the whole message.
class MeterMessage {
 public:
  MeterMessage(const kavrion::IoMap& ioMap, int64_t timestamp);

  // One reply of wb-mqtt-db; @p text is what a record shows of it.
  // Throws std::runtime_error `DeviceInfo id "<id>" not found!` for an unknown entry.
  void addReply(const nlohmann::json& reply, const std::string& text);
  // What a reply of one row for @p id would add; @p text is called for a record only.
  void addRow(const std::string& id, const std::string& control, double value, double max,
              double min, const std::function<std::string()>& text);
  // Writes out every open entry up to @p id; nothing may be added to them afterwards.
  void closeUpTo(const std::string& id);
  // The message text, or an empty text when nothing was ever added. Called once.
  std::string finish();

 private:
  const kavrion::IoInfo& entryInfo(const std::string& id) const;
  nlohmann::json& openEntry(const std::string& id, const kavrion::IoInfo& io);
  void storeOrDrop(const std::string& id, const std::function<void()>& store,
                   const std::function<std::string()>& text);
  void writeEntry(const std::string& id, nlohmann::json& entry);

  const kavrion::IoMap& ioMap_;
  int64_t timestamp_;
  std::string msgId_;  // drawn with the first entry: an empty message takes no draw
  nlohmann::json open_ = nlohmann::json::object();
  std::string text_;  // the message up to the entries written so far, each with a comma
  std::optional<std::string> lastClosed_;
};

// One message id drawn from the engine: 16 lowercase hexadecimal digits, the first eight
// from the engine's first output. Seam of the service's own id generator.
std::string formatMsgId(std::mt19937& engine);

}  // namespace norvane
