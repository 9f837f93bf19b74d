// What a reply of wb-mqtt-db must look like before the collection step keeps it, and whether
// it answers the request being awaited.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "io_info.h"

namespace norvane {

// A request asks for one row ("limit": 1); a logger may return a few. A reply of more rows
// than this is not an answer to it, and only this many are ever held in memory.
inline constexpr std::size_t kMaxReplyRows = 100;
// A reply of a few rows is a few hundred bytes; a larger message on the reply topic is
// dropped on arrival, and its request runs into the reply timeout.
inline constexpr std::size_t kMaxReplyBytes = std::size_t{1024} * 1024;

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

// A reply as it arrived, parsed once.
struct ReceivedReply {
  std::string text;
  nlohmann::json document;  // null when the text is not JSON
  std::string parseError;   // the parser's message when it is not
  // Rows under "result"."values", counted to the end; the document keeps the first
  // kMaxReplyRows + 1 of them.
  std::size_t rows = 0;
};
ReceivedReply readReply(std::string text);

// The request a reply must answer: one channel over one window, both ends included.
struct AwaitedReply {
  std::string id;
  std::string device;
  std::string control;
  int64_t from = 0;
  int64_t to = 0;
};

// What shows that @p reply answers another request: an "id" other than the request's, a row
// naming another device or control, or a row whose "timestamp" lies outside the window.
// Empty when it may be the answer, and for a reply that cannot be read at all (no "id", no
// values): that one is the answer the malformed-reply handling drops.
std::string strayReason(const nlohmann::json& reply, const AwaitedReply& awaited);

}  // namespace norvane
