// What a reply of wb-mqtt-db must look like before the collection step keeps it.
#include "history_reply.h"

#include <string>

namespace norvane {
namespace {

using nlohmann::json;

bool isFigure(const json& row, const char* name) {
  const auto member = row.find(name);
  return member == row.end() || member->is_string() || member->is_number();
}

bool isUsableRow(const json& row) {
  if (!row.is_object()) {
    return false;
  }
  const auto control = row.find("control");
  if (control == row.end() || !control->is_string() || !row.contains("value")) {
    return false;
  }
  return isFigure(row, "value") && isFigure(row, "max") && isFigure(row, "min");
}

bool namesConfiguredEntry(const json& reply, const kavrion::IoMap& ioMap) {
  const auto id = reply.find("id");
  return id != reply.end() && id->is_string() &&
         ioMap.contains(id->get_ref<const std::string&>());
}

}  // namespace

ReplyShape classifyReply(const json& reply, const kavrion::IoMap& ioMap) {
  if (reply.is_null()) {
    return ReplyShape::kNoValues;
  }
  if (!reply.is_object()) {
    return ReplyShape::kMalformed;
  }
  const auto result = reply.find("result");
  if (result == reply.end() || result->is_null()) {
    return ReplyShape::kNoValues;
  }
  if (!result->is_object()) {
    return ReplyShape::kMalformed;
  }
  const auto values = result->find("values");
  if (values == result->end() || values->is_null()) {
    return ReplyShape::kNoValues;
  }
  if (!values->is_array() && !values->is_object()) {
    return ReplyShape::kMalformed;
  }
  if (values->empty()) {
    return ReplyShape::kNoValues;
  }
  if (!namesConfiguredEntry(reply, ioMap)) {
    return ReplyShape::kMalformed;
  }
  for (const json& row : *values) {
    if (!isUsableRow(row)) {
      return ReplyShape::kMalformed;
    }
  }
  return ReplyShape::kUsable;
}

}  // namespace norvane
