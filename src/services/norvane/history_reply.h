// What a reply of wb-mqtt-db must look like before the collection step keeps it.
#pragma once

#include <nlohmann/json.hpp>

#include "io_info.h"

namespace norvane {

enum class ReplyShape {
  kNoValues,   // nothing to keep; dropped without a record
  kMalformed,  // would break the meter message; dropped with a record
  kUsable,
};

// A usable reply is an object whose "id" names a configured entry, whose "result" is an
// object holding a non-empty "values" array or object of rows, and each row an object
// with a string "control", a "value", and "value", "max", "min" strings or numbers where
// present.
ReplyShape classifyReply(const nlohmann::json& reply, const kavrion::IoMap& ioMap);

}  // namespace norvane
