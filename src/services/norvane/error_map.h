// Device availability from the error states on the entries' ping topics.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>

#include "io_info.h"
#include "mqtt_async_wrapper.h"

namespace norvane {

void initErrorMap(const kavrion::IoMap& ioMap);

// Thread body; never returns.
void error_map_sync(const std::string& serverUri = kavrion::mosquitto::kDefaultServerUri);

// How long the error-map thread waits for a message before it looks for a reconnect.
inline constexpr std::chrono::milliseconds kReconnectCheckInterval{5000};

// The thread body without its exit: returns nothing once @p stop is requested (tests), or 4
// after an escaped error ("Fatal error" record). @p checkInterval bounds each wait.
std::optional<int> runErrorMapSync(const std::string& serverUri, std::stop_token stop,
                                   std::chrono::milliseconds checkInterval = kReconnectCheckInterval);

// Applies one message from a ping topic to the error map.
void applyErrorMessage(const kavrion::mosquitto::msg_t& message);

// Counts every device available again (after a reconnect, before the error states replay).
void markAllAvailable();

}  // namespace norvane
