// Obtains the configuration text at start-up: from MQTT or the cached file, the newer one.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "config_persistence.h"
#include "mqtt_async_wrapper.h"

namespace norvane {

inline constexpr const char* kConfigurationTopic = "/kv/bridge/configuration";
inline constexpr std::chrono::milliseconds kConfigurationWait{30000};
// Forty times a configuration of 10,000 controls (about 100 KiB), and no more: the MQTT
// library keeps a buffer the size of the largest message it has read for the life of the
// process. A larger message is dropped on arrival (or by the broker), and the wait goes on
// as for one that is not JSON.
inline constexpr std::size_t kMaxConfigurationBytes = std::size_t{4} * 1024 * 1024;

// Where the candidates come from; tests shorten the wait and move the cache file.
struct ConfigurationSources {
  std::string cacheDirectory = kavrion::config_persistence::kCacheDirectory;
  std::string cacheFileName = kavrion::config_persistence::kCacheFileName;
  std::chrono::milliseconds mqttWait = kConfigurationWait;
};

// The chosen text (the file's only when it is strictly newer), or empty when neither source
// delivered one. An error of the initial subscribe is not caught.
std::string obtainConfiguration(std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client,
                                const ConfigurationSources& sources = {});

// Waits for one message on the configuration topic; subscribed only meanwhile. With
// @p untilUsable a message that is not JSON is recorded (the first one only) and the wait
// goes on, to the same deadline, for one that is.
kavrion::config_snapshot_t receiveMqttConfig(
    std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client,
    std::chrono::milliseconds wait = kConfigurationWait, bool untilUsable = false);

}  // namespace norvane
