// Shared pieces of the simulated-controller system tests: a fixture with a bridge-side
// subscriber of the meter messages, simulated devices and a seeded progress file.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "mqtt_async_wrapper.h"
#include "namespace_harness.h"
#include "peers/device_publisher.h"

namespace norvane::sim {

inline constexpr const char* kMeterTopic = "/kv/bridge/data/meter";
inline constexpr const char* kConfigurationTopic = "/kv/bridge/configuration";
inline constexpr const char* kProgressFile = "/tmp/norvane/timestamp";

inline int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

class SimSystemTest : public testing::NamespaceTest {
 protected:
  void TearDown() override {
    stopDevices();
    testing::NamespaceTest::TearDown();
  }

  // Subscribes the meter topic with QoS 2 on a persistent session, as the bridge does, then
  // publishes the configuration retained and starts the service.
  void startWithConfiguration(const std::string& configuration) {
    meter_ = connectClient("sim_system_bridge");
    meter_->Subscribe(kMeterTopic, kavrion::mosquitto::Qos::ExactlyOnce, false);
    publish(kConfigurationTopic, configuration, true);
    startService();
  }

  std::optional<nlohmann::json> nextMeterMessage(std::chrono::milliseconds timeout) {
    try {
      const auto message = meter_->Receive(kMeterTopic, timeout);
      return nlohmann::json::parse(message.payload.begin(), message.payload.end());
    } catch (const std::runtime_error&) {
      return std::nullopt;
    }
  }

  // The next meter message whose window ends where @p wanted says; the others are passed.
  std::optional<nlohmann::json> nextMeterMessageWhere(
      const std::function<bool(int64_t timestamp)>& wanted, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      auto message = nextMeterMessage(std::max(left, std::chrono::milliseconds(1)));
      if (message && wanted((*message)["timestamp"].get<int64_t>())) return message;
    }
    return std::nullopt;
  }

  // Publishes every second, for each control, the series value or the payload
  // @p payloads names for it ("<device>/<control>").
  void startDevices(std::vector<peers::Control> controls,
                    std::map<std::string, std::string> payloads = {}) {
    devicesClient_ = connectClient("sim_system_devices");
    devices_ = std::thread([this, controls, payloads] {
      while (!stopDevices_) {
        for (const auto& control : controls) {
          const auto special = payloads.find(control.device + "/" + control.control);
          if (special == payloads.end()) {
            peers::publishValues(*devicesClient_, {control}, now(), false);
          } else {
            devicesClient_->Send(peers::controlTopic(control), special->second,
                                 kavrion::mosquitto::Qos::AtMostOnce, false);
          }
        }
        for (int i = 0; i < 10 && !stopDevices_; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
    });
  }
  void stopDevices() {
    stopDevices_ = true;
    if (devices_.joinable()) devices_.join();
  }

  static void seedProgress(const nlohmann::json& document) {
    writeFile(kProgressFile, document.dump());
  }

  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> meter_;

 private:
  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> devicesClient_;
  std::atomic<bool> stopDevices_{false};
  std::thread devices_;
};

}  // namespace norvane::sim
