// Turning the replies of one collection step into one meter message.
#pragma once

#include <cstdint>
#include <list>
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
// The same, giving up each reply text once it is in the message: the step's peak memory is
// the larger of the texts and the message instead of both. On an exception the replies not
// yet taken are left in the list.
std::string repackResponse(std::list<std::string>&& replies, const kavrion::IoMap& ioMap,
                           int64_t timestamp);

// One message id drawn from the engine: 16 lowercase hexadecimal digits, the first eight
// from the engine's first output. Seam of the service's own id generator.
std::string formatMsgId(std::mt19937& engine);

}  // namespace norvane
