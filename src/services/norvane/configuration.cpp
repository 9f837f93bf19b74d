// The configuration candidates from MQTT and from the cached file, and the choice between them.
#include "configuration.h"

#include <ctime>
#include <stdexcept>

#include "p7_trace.h"

namespace norvane {

namespace {

using Clock = std::chrono::steady_clock;

// The snapshot of a non-empty message. Throws the parser's error when it is not JSON.
kavrion::config_snapshot_t snapshotOf(std::string text) {
  const auto document = nlohmann::json::parse(text, nullptr, true, false);
  kavrion::config_snapshot_t snapshot;
  snapshot.timestamp = kavrion::config_persistence::getTimestamp(document, std::time(nullptr));
  snapshot.content = std::move(text);
  snapshot.valid = true;
  NV_TRACE(P7::getTrace(), P7::kInfo, "MQTT configuration received (ts: %ld)", snapshot.timestamp);
  return snapshot;
}

kavrion::config_snapshot_t waitForSnapshot(kavrion::mosquitto::MqttAsyncWrapper& client,
                                           std::chrono::milliseconds wait, bool untilUsable) {
  const auto deadline = Clock::now() + wait;
  bool invalidRecorded = false;
  try {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= std::chrono::milliseconds::zero()) {
        throw std::runtime_error(kavrion::mosquitto::noMessageText(kConfigurationTopic, wait));
      }
      std::string text = kavrion::mosquitto::payloadText(client.Receive(kConfigurationTopic, left));
      if (text.empty()) {
        NV_TRACE(P7::getTrace(), P7::kWarning, "Empty configuration from MQTT");
        return {};
      }
      try {
        return snapshotOf(std::move(text));
      } catch (const nlohmann::json::exception& e) {
        if (!invalidRecorded) {
          NV_TRACE(P7::getTrace(), P7::kError, "Invalid MQTT configuration: %s",
                   P7::excerpt(e.what()).c_str());
        }
        invalidRecorded = true;
        if (!untilUsable) return {};
      }
    }
  } catch (const std::runtime_error& e) {
    // After a message that was not JSON, Receive waits only for the rest: the record names the
    // whole wait.
    const std::string text = Clock::now() >= deadline
                                 ? kavrion::mosquitto::noMessageText(kConfigurationTopic, wait)
                                 : e.what();
    NV_TRACE(P7::getTrace(), P7::kWarning, "MQTT configuration unavailable: %s", text.c_str());
  }
  return {};
}

}  // namespace

kavrion::config_snapshot_t receiveMqttConfig(
    std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client, std::chrono::milliseconds wait,
    bool untilUsable) {
  client->Subscribe(kConfigurationTopic, kavrion::mosquitto::Qos::AtMostOnce, false);
  kavrion::config_snapshot_t snapshot;
  try {
    snapshot = waitForSnapshot(*client, wait, untilUsable);
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
  // Without a usable file, a retained message that is not JSON must not end the service while
  // the bridge may publish a good one within the wait.
  const auto mqtt = receiveMqttConfig(std::move(client), sources.mqttWait, !file.valid);

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
