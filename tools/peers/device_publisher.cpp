// Simulated devices: publish the series value of every configured control.
#include "peers/device_publisher.h"

#include <algorithm>
#include <tuple>

#include <fmt/format.h>

#include "peers/meter_values.h"
#include "peers/series.h"

namespace norvane::peers {

std::vector<Control> controlsOf(const kavrion::IoMap& ioMap) {
  std::vector<Control> controls;
  for (const auto& [id, io] : ioMap) {
    for (const std::string& cell : io->getSortedCells()) {
      controls.push_back({io->deviceName, cell});
    }
  }
  std::sort(controls.begin(), controls.end(), [](const Control& a, const Control& b) {
    return std::tie(a.device, a.control) < std::tie(b.device, b.control);
  });
  // Two entries may share a device and a control; one publication is enough.
  controls.erase(std::unique(controls.begin(), controls.end(),
                             [](const Control& a, const Control& b) {
                               return a.device == b.device && a.control == b.control;
                             }),
                 controls.end());
  return controls;
}

std::string controlTopic(const Control& control) {
  return fmt::format("/devices/{}/controls/{}", control.device, control.control);
}

void publishValues(kavrion::mosquitto::MqttAsyncWrapper& client,
                   const std::vector<Control>& controls, int64_t t, bool retained) {
  for (const Control& control : controls) {
    const double value = seriesValue(control.device, control.control, t);
    client.Send(controlTopic(control), formatFigure(value), kavrion::mosquitto::Qos::AtMostOnce,
                retained);
  }
}

void publishMeterValues(kavrion::mosquitto::MqttAsyncWrapper& client,
                        const std::vector<Control>& controls, int64_t t, bool retained) {
  for (const Control& control : controls) {
    const double value = meterValue(control.device, control.control, t);
    client.Send(controlTopic(control), formatReading(value), kavrion::mosquitto::Qos::AtMostOnce,
                retained);
  }
}

std::vector<std::string> pingTopicsOf(const kavrion::IoMap& ioMap, const std::string& device) {
  std::vector<std::string> topics;
  for (const auto& [id, io] : ioMap) {
    if (io->deviceName == device && !io->getPingTopic().empty()) {
      topics.push_back(io->getPingTopic());
    }
  }
  std::sort(topics.begin(), topics.end());
  topics.erase(std::unique(topics.begin(), topics.end()), topics.end());
  return topics;
}

}  // namespace norvane::peers
