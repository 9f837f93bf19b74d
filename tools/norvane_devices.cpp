// norvane-devices: publishes a value for every control of a configuration at a chosen rate,
// from the deterministic series, as the controller's devices would.
#include <getopt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "io_info.h"
#include "mqtt_async_wrapper.h"
#include "peers/device_publisher.h"
#include "peers/signals.h"

namespace {

constexpr const char* kUsage =
    "Usage: norvane-devices --config FILE [options]\n"
    "Publishes the series value of every control of FILE's entries on\n"
    "/devices/<device>/controls/<control>.\n"
    "\n"
    "  --config FILE     configuration document (as published on /kv/bridge/configuration)\n"
    "  --broker URI      broker to use (default {})\n"
    "  --period-ms N     publish every N milliseconds (default 1000)\n"
    "  --count N         stop after N rounds (default 0: until interrupted)\n"
    "  --retain          publish the values retained\n"
    "  --client-id ID    MQTT client id (default norvane_devices)\n"
    "  --help            show this text\n";

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

}  // namespace

int main(int argc, char** argv) {
  std::string config;
  std::string broker = kavrion::mosquitto::kDefaultServerUri;
  std::string clientId = "norvane_devices";
  long periodMs = 1000;
  long count = 0;
  bool retain = false;
  const option options[] = {
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
        case 'h': printUsage(stdout); return EXIT_SUCCESS;
        default: printUsage(stderr); return EXIT_FAILURE;
      }
    }
    if (config.empty() || periodMs <= 0 || count < 0) {
      printUsage(stderr);
      return EXIT_FAILURE;
    }
    const auto controls = norvane::peers::controlsOf(loadConfiguration(config));
    norvane::peers::blockStopSignals();
    kavrion::mosquitto::MqttAsyncWrapper client(clientId, broker);
    client.Connect(true);
    fmt::print("norvane-devices: {} controls every {} ms on {}\n", controls.size(), periodMs,
               broker);
    std::fflush(stdout);
    for (long round = 0; count == 0 || round < count; ++round) {
      norvane::peers::publishValues(client, controls, static_cast<int64_t>(std::time(nullptr)),
                                    retain);
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
