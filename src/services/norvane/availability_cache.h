// The live-value cache: last value and range of every configured control.
#pragma once

#include <optional>
#include <string>

#include "mqtt_async_wrapper.h"
#include "service_state.h"

namespace norvane {

// Thread body; never returns.
void cache_map_sync(const std::string& serverUri = kavrion::mosquitto::kDefaultServerUri);

// The collection step's read of one control key: ends the process with status 3 when the
// cache has not been updated for longer than m_timeout_s; otherwise returns the record (and
// resets its min and max to its value), or nothing when the key is not cached.
std::optional<data_t> readCacheRecord(const std::string& controlKey);

// Resets the range of one record without the staleness check (devices that are unavailable
// must not carry their outage's range into the first window after they recover).
void discardCacheRecord(const std::string& controlKey);

}  // namespace norvane
