// The live-value cache: last value and range of every configured control.
#pragma once

#include <string>

#include "mqtt_async_wrapper.h"

namespace norvane {

// Thread body; never returns.
void cache_map_sync(const std::string& serverUri = kavrion::mosquitto::kDefaultServerUri);

}  // namespace norvane
