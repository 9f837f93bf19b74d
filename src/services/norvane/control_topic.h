// The live-value topics of device controls and the text of their values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// Device and control of a topic "/devices/<device>/controls/<control>"; views into the topic.
struct ControlTopic {
  std::string_view device;
  std::string_view control;
};

// "/devices/<device>/controls/<control>".
std::string controlTopicOf(std::string_view device, std::string_view control);

// Accepts exactly the topics that "/devices/([^/]+)/controls/([^/]+)$" matches in full:
// both names non-empty and free of '/'. Deeper topics (a control's meta) are rejected.
// Allocates nothing, as it runs for every live value on the bus.
std::optional<ControlTopic> matchControlTopic(std::string_view topic);

// The number a control's payload carries: "true"/"false" in any case (exact length) give 1
// and 0; anything else is read like std::stod (leading blanks skipped, the longest numeric
// prefix taken, the rest ignored).
// @throws std::invalid_argument "stod" when no number can be read
// @throws std::out_of_range "stod" when the number does not fit a double
double parseControlValue(const std::string& text);

}  // namespace norvane
