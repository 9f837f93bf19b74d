// The fixture of the system tests: the real binary on a simulated controller, with a
// bridge-side subscriber of the meter messages, simulated devices and a seeded progress file.
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

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "mqtt_async_wrapper.h"
#include "namespace_harness.h"
#include "peers/device_publisher.h"
#include "peers/history_stand_in.h"

namespace norvane::sim {

inline constexpr const char* kMeterTopic = "/kv/bridge/data/meter";
inline constexpr const char* kConfigurationTopic = "/kv/bridge/configuration";
inline constexpr const char* kProgressFile = "/tmp/norvane/timestamp";

inline int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

// Two electricity meters with ping topics: m1 with P and U, m2 with P.
inline constexpr const char* kTwoMeters = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"meter_electricity","cells":["P","U"],
   "ping":"/devices/meter_1/meta/error"},
  {"id":"m2","device":"meter_2","type":"meter_electricity","cells":["P"],
   "ping":"/devices/meter_2/meta/error"}]})";
inline const std::vector<peers::Control> kTwoMetersControls = {
    {"meter_1", "P"}, {"meter_1", "U"}, {"meter_2", "P"}};
// Type "t" keeps the cache's time-out at 30 minutes: for tests without devices.
inline constexpr const char* kOneCell = R"({"created_at_ts":1765152000,"io":[
  {"id":"m1","device":"meter_1","type":"t","cells":["P"]}]})";

// Where the history request asks its window to start.
inline int64_t requestedStart(const peers::ReceivedRequest& request) {
  return nlohmann::json::parse(request.text)["params"]["timestamp"]["gt"].get<int64_t>();
}

// One figure of each kind, in order.
inline void expectOneFigureEach(const nlohmann::json& cell) {
  ASSERT_EQ(cell["avg"].size(), 1U) << cell;
  ASSERT_EQ(cell["max"].size(), 1U) << cell;
  ASSERT_EQ(cell["min"].size(), 1U) << cell;
  EXPECT_LE(cell["min"][0].get<double>(), cell["avg"][0].get<double>()) << cell;
  EXPECT_LE(cell["avg"][0].get<double>(), cell["max"][0].get<double>()) << cell;
}

class SimulatedControllerTest : public testing::NamespaceTest {
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

  // The service is still running after its start-up reached the point the log shows.
  void expectRunningAfter(const std::string& record, std::chrono::seconds timeout) {
    ASSERT_TRUE(waitForLog(record, timeout)) << readLog() << serviceOutput();
    EXPECT_TRUE(serviceRunning()) << readLog();
  }

  // Appends meter messages to received_ until @p done holds; false after @p timeout.
  bool awaitMeterMessages(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (auto message = nextMeterMessage(std::chrono::milliseconds(200))) {
        received_.push_back(std::move(*message));
      }
    }
    return true;
  }

  // Meter messages published so far that are still on their way.
  void receiveStragglers() {
    awaitMeterMessages([] { return false; }, std::chrono::seconds(2));
  }

  // How many of the received messages close each window.
  std::map<int64_t, int> windowsReceived() const {
    std::map<int64_t, int> windows;
    for (const nlohmann::json& message : received_) {
      ++windows[message["timestamp"].get<int64_t>()];
    }
    return windows;
  }

  static std::size_t countInLog(const std::string& text) {
    const std::string log = readLog();
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  // The progress document once it holds one interval (a back-fill over and saved); the last
  // document read (null when none parsed) after @p timeout.
  static nlohmann::json awaitSingleInterval(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    nlohmann::json document;
    while (true) {
      const std::string text = readFile(kProgressFile);
      document = nlohmann::json::accept(text) ? nlohmann::json::parse(text) : nlohmann::json();
      const bool done = document.is_object() && document.contains("intervals") &&
                        document["intervals"].size() == 1U;
      if (done || std::chrono::steady_clock::now() >= deadline) return document;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> meter_;
  std::vector<nlohmann::json> received_;

 private:
  std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> devicesClient_;
  std::atomic<bool> stopDevices_{false};
  std::thread devices_;
};

}  // namespace norvane::sim
