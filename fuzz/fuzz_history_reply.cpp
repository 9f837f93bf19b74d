// A reply of the history peer: it is read as the parser reads it (rows past the bound left
// out), and what the step keeps must repack into a meter message without an error, as an
// error there would end the whole step.
#include <cstddef>
#include <cstdint>
#include <list>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "history_reply.h"
#include "io_info.h"
#include "response_processing.h"

namespace {

using nlohmann::json;
using norvane::fuzz::violated;

// Two entries, one sharing a control name with the other, as the seeds address them.
const kavrion::IoMap& ioMap() {
  static const kavrion::IoMap map = [] {
    const auto document = json::parse(R"({"io":[
      {"id":"m1","device":"meter_1","type":"meter_electricity","kind":0,"cells":["P","Q"]},
      {"id":"w1","device":"water_1","type":"water","cells":["V","P"]}]})");
    kavrion::TemplateCacheCleanupGuard guard(false);
    return kavrion::parseIoStructure<kavrion::IoInfo>(document, guard, true);
  }();
  return map;
}

void checkMessage(const std::string& text) {
  if (text.empty()) return;
  json message = json::parse(text);
  if (!message.is_object() || !message.contains("msg_id") || !message.contains("timestamp")) {
    violated("a meter message without its id or timestamp");
  }
  for (const auto& [id, entry] : message.at("io").items()) {
    for (const auto& [name, cell] : entry.at("data").items()) {
      for (const char* series : {"max", "avg", "min"}) {
        for (const auto& value : cell.at(series)) {
          // Non-finite figures are written as null; anything else would be a foreign shape.
          if (!value.is_number() && !value.is_null()) violated("a meter value of a foreign type");
        }
      }
    }
  }
  // A finished message passes the check again unchanged.
  const json before = message;
  norvane::postProcessResponse(message, ioMap());
  if (message != before) violated("the check changed a finished message");
}

void repackKept(const std::string& text) {
  try {
    checkMessage(norvane::repackResponse({text}, ioMap(), 1765152060));
    // A repeated reply gives a cell two values; the check must drop it, not fail.
    checkMessage(norvane::repackResponse({text, text}, ioMap(), 1765152060));
  } catch (const std::exception& e) {
    violated(e.what());
  }
}

// The check on its own, on messages of any shape: it may refuse them, never misbehave.
void checkAnyMessage(json document) {
  try {
    norvane::postProcessResponse(document, ioMap());
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  norvane::fuzz::installHarness();
  const std::string text(reinterpret_cast<const char*>(data), size);
  const norvane::ReceivedReply received = norvane::readReply(text);
  json reply;
  // Not JSON, or a number no double holds (out_of_range 406): the step drops the reply.
  try {
    reply = json::parse(text);
  } catch (const json::exception&) {
    if (received.parseError.empty()) violated("a text the parser refuses was read");
    return 0;
  }
  if (!received.parseError.empty()) violated("a text the parser takes was not read");
  // Rows are left out only past the bound; a reply within it is read whole.
  if (received.rows <= norvane::kMaxReplyRows + 1 && received.document != reply) {
    violated("a reply within the row bound was not read whole");
  }
  (void)norvane::strayReason(received.document, {"m1", "meter_1", "P", 1765152000, 1765152120});
  if (received.rows <= norvane::kMaxReplyRows &&
      norvane::classifyReply(reply, ioMap()) == norvane::ReplyShape::kUsable) {
    repackKept(text);
  }
  checkAnyMessage(reply);
  return 0;
}
