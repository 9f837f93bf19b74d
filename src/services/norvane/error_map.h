// Device availability from the error states on the entries' ping topics.
#pragma once

#include <string>

#include "io_info.h"
#include "mqtt_async_wrapper.h"

namespace norvane {

void initErrorMap(const kavrion::IoMap& ioMap);

// Thread body; never returns.
void error_map_sync(const std::string& serverUri = kavrion::mosquitto::kDefaultServerUri);

}  // namespace norvane
