// Readable lines of a meter message, as the bridge stand-in shows them.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvane::peers {

// A heading line with the window (its end, UTC, and the POSIX seconds) and the message id,
// then one line per entry and cell with max / avg / min, entries and cells in key order.
// An entry without cells gets a line saying so; a message without entries says "no data".
// Members of the wrong type are shown as they stand rather than refused: the bridge stand-in
// is there to show what the service sent.
std::vector<std::string> describeMeterMessage(const nlohmann::json& message);

}  // namespace norvane::peers
