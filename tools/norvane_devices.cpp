// norvane-devices: publishes a value for every control of a configuration at a chosen rate,
// as the controller's devices would, and reports device errors on their ping topics on
// request.
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <atomic>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "io_info.h"
#include "mqtt_async_wrapper.h"
#include "peers/device_publisher.h"
#include "peers/signals.h"

namespace {

constexpr const char* kUsage =
    "Usage: norvane-devices --config FILE [options]\n"
    "Publishes a value for every control of FILE's entries on\n"
    "/devices/<device>/controls/<control> (QoS 0).\n"
    "\n"
    "  --config FILE     configuration document (as published on /kv/bridge/configuration)\n"
    "  --broker URI      broker to use (default {})\n"
    "  --period-ms N     publish every N milliseconds (default 1000)\n"
    "  --count N         stop after N rounds (default 0: until interrupted)\n"
    "  --retain          publish the values retained\n"
    "  --values KIND     meter: plausible readings chosen by the control's name (default):\n"
    "                      voltage (U, Voltage) ~230 V, current (I, Current) 2-12 A,\n"
    "                      power (P, Power) in W, frequency (F) ~50 Hz, energy (E, AP,\n"
    "                      Energy, kWh) and volume (V, Volume) counters that only grow;\n"
    "                      other names follow the series\n"
    "                    series: the deterministic saw tooth the history stand-in answers\n"
    "                      from (0.5 per second for two minutes, each tooth 0.25 higher)\n"
    "  --error DEVICE    report an error for DEVICE at the start (may be repeated)\n"
    "  --client-id ID    MQTT client id (default norvane_devices)\n"
    "  --help            show this text\n"
    "\n"
    "Commands on standard input, one a line, applied before the next round:\n"
    "  error DEVICE [TEXT]   publish TEXT (default \"r\") retained, QoS 1, on the ping\n"
    "                        topics of DEVICE's entries: the device reports an error\n"
    "  clear DEVICE          publish an empty retained payload there: the error has cleared\n"
    "Stops on Ctrl-C (SIGINT) or SIGTERM.\n";

void printUsage(std::FILE* stream) {
  fmt::print(stream, fmt::runtime(kUsage), kavrion::mosquitto::kDefaultServerUri);
}

kavrion::IoMap loadConfiguration(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw std::runtime_error(fmt::format("cannot read configuration \"{}\"", path));
  }
  std::stringstream text;
  text << file.rdbuf();
  const nlohmann::json document = nlohmann::json::parse(text.str());
  kavrion::TemplateCacheCleanupGuard guard(false);
  return kavrion::parseIoStructure<kavrion::IoInfo>(document, guard, true);
}

enum class Values { kMeter, kSeries };

Values valuesNamed(const std::string& name) {
  if (name == "meter") return Values::kMeter;
  if (name == "series") return Values::kSeries;
  throw std::invalid_argument(fmt::format("--values takes meter or series, not \"{}\"", name));
}

// Lines typed on standard input, handed to the publishing loop between rounds.
class CommandReader {
 public:
  CommandReader() : thread_([this] { read(); }) {}
  ~CommandReader() {
    stop_ = true;
    thread_.join();
  }
  CommandReader(const CommandReader&) = delete;
  CommandReader& operator=(const CommandReader&) = delete;

  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  void read() {
    std::string pending;
    while (!stop_) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      if (::poll(&input, 1, 200) <= 0) continue;
      char buffer[512];
      const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (size <= 0) return;  // end of input: no more commands
      pending.append(buffer, static_cast<std::size_t>(size));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

void reportError(kavrion::mosquitto::MqttAsyncWrapper& client, const kavrion::IoMap& ioMap,
                 const std::string& device, const std::string& payload) {
  const auto topics = norvane::peers::pingTopicsOf(ioMap, device);
  if (topics.empty()) {
    fmt::print(stderr, "norvane-devices: no entry of device \"{}\" has a ping topic\n", device);
    return;
  }
  for (const std::string& topic : topics) {
    client.Send(topic, payload, kavrion::mosquitto::Qos::AtLeastOnce, true);
    fmt::print("norvane-devices: {} \"{}\"\n", topic, payload);
  }
  std::fflush(stdout);
}

void applyCommand(kavrion::mosquitto::MqttAsyncWrapper& client, const kavrion::IoMap& ioMap,
                  const std::string& line) {
  std::istringstream words(line);
  std::string command;
  std::string device;
  words >> command >> device;
  std::string text;
  std::getline(words >> std::ws, text);
  if (command == "error" && !device.empty()) {
    reportError(client, ioMap, device, text.empty() ? "r" : text);
  } else if (command == "clear" && !device.empty()) {
    reportError(client, ioMap, device, "");
  } else if (!command.empty()) {
    fmt::print(stderr, "norvane-devices: unknown command \"{}\" (error DEVICE [TEXT], "
               "clear DEVICE)\n", line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string config;
  std::string broker = kavrion::mosquitto::kDefaultServerUri;
  std::string clientId = "norvane_devices";
  long periodMs = 1000;
  long count = 0;
  bool retain = false;
  Values values = Values::kMeter;
  std::vector<std::string> failing;
  const option options[] = {{"values", required_argument, nullptr, 'v'},
      {"error", required_argument, nullptr, 'e'},
      {"config", required_argument, nullptr, 'f'}, {"broker", required_argument, nullptr, 'b'},
      {"period-ms", required_argument, nullptr, 'p'}, {"count", required_argument, nullptr, 'n'},
      {"retain", no_argument, nullptr, 'r'}, {"client-id", required_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  try {
    for (int opt; (opt = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
      switch (opt) {
        case 'f': config = optarg; break;
        case 'b': broker = optarg; break;
        case 'p': periodMs = std::stol(optarg); break;
        case 'n': count = std::stol(optarg); break;
        case 'r': retain = true; break;
        case 'c': clientId = optarg; break;
        case 'v': values = valuesNamed(optarg); break;
        case 'e': failing.emplace_back(optarg); break;
        case 'h': printUsage(stdout); return EXIT_SUCCESS;
        default: printUsage(stderr); return EXIT_FAILURE;
      }
    }
    if (config.empty() || periodMs <= 0 || count < 0) {
      printUsage(stderr);
      return EXIT_FAILURE;
    }
    const kavrion::IoMap ioMap = loadConfiguration(config);
    const auto controls = norvane::peers::controlsOf(ioMap);
    norvane::peers::blockStopSignals();
    kavrion::mosquitto::MqttAsyncWrapper client(clientId, broker);
    client.Connect(true);
    for (const std::string& device : failing) reportError(client, ioMap, device, "r");
    CommandReader commands;
    fmt::print("norvane-devices: {} controls every {} ms on {}\n", controls.size(), periodMs,
               broker);
    std::fflush(stdout);
    for (long round = 0; count == 0 || round < count; ++round) {
      for (const std::string& line : commands.take()) applyCommand(client, ioMap, line);
      const auto now = static_cast<int64_t>(std::time(nullptr));
      if (values == Values::kMeter) {
        norvane::peers::publishMeterValues(client, controls, now, retain);
      } else {
        norvane::peers::publishValues(client, controls, now, retain);
      }
      if (norvane::peers::waitForStopSignal(std::chrono::milliseconds(periodMs))) {
        break;
      }
    }
  } catch (const std::exception& e) {
    fmt::print(stderr, "norvane-devices: {}\n", e.what());
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
