// The live-value topics of device controls and the text of their values.
#include "control_topic.h"

namespace norvane {
namespace {

constexpr std::string_view kDevicesPrefix = "/devices/";
constexpr std::string_view kControlsLevel = "/controls/";

// ASCII only: a process locale must not change which payloads count as words.
char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view text, std::string_view lowerWord) {
  if (text.size() != lowerWord.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (asciiLower(text[i]) != lowerWord[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string controlTopicOf(std::string_view device, std::string_view control) {
  std::string topic;
  topic.reserve(kDevicesPrefix.size() + device.size() + kControlsLevel.size() + control.size());
  return topic.append(kDevicesPrefix).append(device).append(kControlsLevel).append(control);
}

std::optional<ControlTopic> matchControlTopic(std::string_view topic) {
  if (!topic.starts_with(kDevicesPrefix)) {
    return std::nullopt;
  }
  std::string_view rest = topic.substr(kDevicesPrefix.size());
  // A device name holds no '/', so the first one ends it; no backtracking can find another split.
  const auto deviceEnd = rest.find('/');
  if (deviceEnd == 0 || deviceEnd == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view device = rest.substr(0, deviceEnd);
  rest.remove_prefix(deviceEnd);
  if (!rest.starts_with(kControlsLevel)) {
    return std::nullopt;
  }
  const std::string_view control = rest.substr(kControlsLevel.size());
  if (control.empty() || control.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  return ControlTopic{device, control};
}

double parseControlValue(const std::string& text) {
  if (equalsIgnoringCase(text, "true")) {
    return 1.0;
  }
  if (equalsIgnoringCase(text, "false")) {
    return 0.0;
  }
  return std::stod(text);
}

}  // namespace norvane
