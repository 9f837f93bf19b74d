// What a reply of wb-mqtt-db must look like before the collection step keeps it, and whether
// it answers the request being awaited.
#include "history_reply.h"

#include <fmt/format.h>

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
  return id != reply.end() && id->is_string() && ioMap.contains(id->get_ref<const std::string&>());
}

// The rows of a "values" member: the elements of an array, the members of an object.
const json* valuesOf(const json& reply) {
  if (!reply.is_object()) return nullptr;
  const auto result = reply.find("result");
  if (result == reply.end() || !result->is_object()) return nullptr;
  const auto values = result->find("values");
  if (values == result->end() || !(values->is_array() || values->is_object())) return nullptr;
  return &*values;
}

// Counts the rows of "result"."values" while the parser builds the document, and skips
// those beyond the bound before they are built: a reply of a million rows costs the time of
// reading it, not the memory of holding it.
class RowCounter {
 public:
  bool keep(int depth, json::parse_event_t event, const json& parsed) {
    using Event = json::parse_event_t;
    if (event == Event::key && depth <= 2) {
      if (depth == 1) inResult_ = parsed == "result";
      inValues_ = depth == 2 && inResult_ && parsed == "values";
      return true;
    }
    if (!inValues_) return true;
    if (depth == 2 && (event == Event::object_start || event == Event::array_start)) {
      rowsAreMembers_ = event == Event::object_start;
      return true;
    }
    // A row is counted, and skipped past the bound, where it starts: at its key when the
    // rows are an object's members (the parser's own way to leave out a member), as the
    // element itself when they are an array's.
    const bool rowStarts =
        rowsAreMembers_
            ? event == Event::key
            : event == Event::value || event == Event::object_start || event == Event::array_start;
    if (depth != 3 || !rowStarts) return true;
    return ++rows_ <= kMaxReplyRows + 1;
  }
  std::size_t rows() const { return rows_; }

 private:
  bool inResult_ = false;
  bool inValues_ = false;
  bool rowsAreMembers_ = false;
  std::size_t rows_ = 0;
};

std::string quoted(const std::string& text) { return json(text).dump(); }

// Why one row belongs to another request; empty when nothing says so.
std::string rowMismatch(const json& row, const AwaitedReply& awaited) {
  if (!row.is_object()) return "";
  for (const auto& [name, wanted] :
       {std::pair{"device", &awaited.device}, std::pair{"control", &awaited.control}}) {
    const auto member = row.find(name);
    if (member != row.end() && member->is_string() && *member != *wanted) {
      return fmt::format("\"{}\" is {}, not {}", name, member->dump(), quoted(*wanted));
    }
  }
  const auto timestamp = row.find("timestamp");
  if (timestamp != row.end() && timestamp->is_number()) {
    const double at = timestamp->get<double>();
    if (at < static_cast<double>(awaited.from) || at > static_cast<double>(awaited.to)) {
      return fmt::format("\"timestamp\" {} lies outside {}-{}", timestamp->dump(), awaited.from,
                         awaited.to);
    }
  }
  return "";
}

}  // namespace

ReceivedReply readReply(std::string text) {
  ReceivedReply reply;
  RowCounter counter;
  try {
    reply.document = json::parse(
        text,
        [&counter](int depth, json::parse_event_t event, json& parsed) {
          return counter.keep(depth, event, parsed);
        },
        true, false);
  } catch (const json::exception& e) {
    // Besides text that is not JSON, a number no double holds ("value":1e400) fails here.
    reply.document = nullptr;
    reply.parseError = e.what();
  }
  reply.rows = counter.rows();
  reply.text = std::move(text);
  return reply;
}

std::string strayReason(const json& reply, const AwaitedReply& awaited) {
  const json* values = valuesOf(reply);
  const auto id = reply.find("id");
  if (values == nullptr || values->empty() || id == reply.end() || !id->is_string()) return "";
  if (*id != awaited.id) {
    return fmt::format("\"id\" is {}, not {}", id->dump(), quoted(awaited.id));
  }
  for (const json& row : *values) {
    std::string mismatch = rowMismatch(row, awaited);
    if (!mismatch.empty()) return mismatch;
  }
  return "";
}

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
