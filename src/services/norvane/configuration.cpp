// The configuration candidates from MQTT and from the cached file, and the choice between them.
#include "configuration.h"

#include <ctime>
#include <stdexcept>

#include "p7_trace.h"

namespace norvane {

namespace {

kavrion::config_snapshot_t waitForSnapshot(kavrion::mosquitto::MqttAsyncWrapper& client,
                                           std::chrono::milliseconds wait) {
  kavrion::config_snapshot_t snapshot;
  try {
    const auto message = client.Receive(kConfigurationTopic, wait);
    std::string text(message.payload.begin(), message.payload.end());
    if (text.empty()) {
      NV_TRACE(P7::getTrace(), P7::kWarning, "Empty configuration from MQTT");
      return snapshot;
    }
    const auto document = nlohmann::json::parse(text, nullptr, true, false);
    snapshot.timestamp = kavrion::config_persistence::getTimestamp(document, std::time(nullptr));
    snapshot.content = std::move(text);
    snapshot.valid = true;
    NV_TRACE(P7::getTrace(), P7::kInfo, "MQTT configuration received (ts: %ld)",
             snapshot.timestamp);
  } catch (const nlohmann::json::exception& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Invalid MQTT configuration: %s", e.what());
  } catch (const std::runtime_error& e) {
    NV_TRACE(P7::getTrace(), P7::kWarning, "MQTT configuration unavailable: %s", e.what());
  }
  return snapshot;
}

}  // namespace

kavrion::config_snapshot_t receiveMqttConfig(
    std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client, std::chrono::milliseconds wait) {
  client->Subscribe(kConfigurationTopic, kavrion::mosquitto::Qos::AtMostOnce, false);
  kavrion::config_snapshot_t snapshot;
  try {
    snapshot = waitForSnapshot(*client, wait);
  } catch (...) {
    client->Unsubscribe(kConfigurationTopic);
    throw;
  }
  client->Unsubscribe(kConfigurationTopic);
  return snapshot;
}

std::string obtainConfiguration(std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client,
                                const ConfigurationSources& sources) {
  const auto file =
      kavrion::config_persistence::load(sources.cacheDirectory, sources.cacheFileName);
  const auto mqtt = receiveMqttConfig(std::move(client), sources.mqttWait);

  if (file.valid && mqtt.valid) {
    if (file.timestamp > mqtt.timestamp) {
      NV_TRACE(P7::getTrace(), P7::kInfo, "Using file config (file ts:%ld > mqtt ts:%ld)",
               file.timestamp, mqtt.timestamp);
      return file.content;
    }
    NV_TRACE(P7::getTrace(), P7::kInfo, "Using MQTT config (mqtt ts:%ld >= file ts:%ld)",
             mqtt.timestamp, file.timestamp);
    return mqtt.content;
  }
  if (file.valid) {
    NV_TRACE(P7::getTrace(), P7::kWarning, "Using file config (MQTT unavailable)");
    return file.content;
  }
  if (mqtt.valid) {
    NV_TRACE(P7::getTrace(), P7::kInfo, "Using MQTT config (no file cache)");
    return mqtt.content;
  }
  NV_TRACE(P7::getTrace(), P7::kError, "No configuration available from any source!");
  return "";
}

}  // namespace norvane
