// Readable lines of a meter message.
#include "peers/meter_view.h"

#include <ctime>

#include <fmt/format.h>

namespace norvane::peers {
namespace {

std::string utcTime(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&time, &parts) == nullptr) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// The single figure of an array, or the member as it stands when it is anything else.
std::string figure(const nlohmann::json& cell, const char* name) {
  if (!cell.is_object() || !cell.contains(name)) return "-";
  const nlohmann::json& member = cell[name];
  if (member.is_array() && member.size() == 1 && member[0].is_number()) {
    return fmt::format("{}", member[0].get<double>());
  }
  return member.dump();
}

std::string heading(const nlohmann::json& message) {
  const auto timestamp = message.find("timestamp");
  std::string window = "window ?";
  if (timestamp != message.end() && timestamp->is_number_integer()) {
    const int64_t end = timestamp->get<int64_t>();
    window = fmt::format("window ending {} UTC ({})", utcTime(end), end);
  }
  const auto id = message.find("msg_id");
  const std::string msgId = id != message.end() && id->is_string() ? id->get<std::string>() : "?";
  return fmt::format("{}  msg_id {}", window, msgId);
}

}  // namespace

std::vector<std::string> describeMeterMessage(const nlohmann::json& message) {
  if (!message.is_object()) return {"not a meter message: " + message.dump()};
  std::vector<std::string> lines{heading(message)};
  const auto io = message.find("io");
  if (io == message.end() || !io->is_object() || io->empty()) {
    lines.push_back("  no data");
    return lines;
  }
  for (const auto& [id, entry] : io->items()) {
    const std::string type =
        entry.is_object() && entry.contains("type") && entry["type"].is_string()
            ? entry["type"].get<std::string>()
            : "?";
    const nlohmann::json* data = entry.is_object() && entry.contains("data") ? &entry["data"]
                                                                               : nullptr;
    if (data == nullptr || !data->is_object() || data->empty()) {
      lines.push_back(fmt::format("  {} ({}): no cells", id, type));
      continue;
    }
    for (const auto& [cell, figures] : data->items()) {
      lines.push_back(fmt::format("  {} ({}) {}: max {} / avg {} / min {}", id, type, cell,
                                  figure(figures, "max"), figure(figures, "avg"),
                                  figure(figures, "min")));
    }
  }
  return lines;
}

}  // namespace norvane::peers
