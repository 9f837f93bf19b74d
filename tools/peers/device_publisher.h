// Simulated devices: publish the series value of every configured control.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io_info.h"
#include "mqtt_async_wrapper.h"

namespace norvane::peers {

struct Control {
  std::string device;
  std::string control;
};

// Every control of the configuration's entries, ordered by device and then control.
std::vector<Control> controlsOf(const kavrion::IoMap& ioMap);

// "/devices/<device>/controls/<control>"
std::string controlTopic(const Control& control);

// Publishes the value every control holds at second t.
void publishValues(kavrion::mosquitto::MqttAsyncWrapper& client,
                   const std::vector<Control>& controls, int64_t t, bool retained);

// Publishes the plausible meter reading of every control at second t.
void publishMeterValues(kavrion::mosquitto::MqttAsyncWrapper& client,
                        const std::vector<Control>& controls, int64_t t, bool retained);

// The ping topic of every entry of the device (sorted, each once); empty when it has none.
std::vector<std::string> pingTopicsOf(const kavrion::IoMap& ioMap, const std::string& device);

}  // namespace norvane::peers
