// norvane-bridge: stands in for the bridge service. Publishes a configuration document
// (retained) and shows every meter message it receives as readable lines.
#include <getopt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "mqtt_async_wrapper.h"
#include "peers/meter_view.h"
#include "peers/signals.h"

namespace {

constexpr const char* kConfigurationTopic = "/kv/bridge/configuration";
constexpr const char* kMeterTopic = "/kv/bridge/data/meter";
// How often the waiting line is repeated until the first message arrives.
constexpr std::chrono::seconds kWaitingReminder{15};

constexpr const char* kUsage =
    "Usage: norvane-bridge [options]\n"
    "Shows the meter messages published on /kv/bridge/data/meter, one line per entry and\n"
    "cell with max / avg / min under a line with the window; optionally publishes the\n"
    "configuration first.\n"
    "\n"
    "  --config FILE     publish FILE retained on /kv/bridge/configuration (QoS 1) first\n"
    "  --broker URI      broker to use (default {})\n"
    "  --qos N           subscription QoS 0, 1 or 2 (default 2). The session is persistent:\n"
    "                    QoS 1/2 messages published while the connection is down are\n"
    "                    delivered after the reconnect, also across a broker restart when\n"
    "                    the broker keeps its sessions\n"
    "  --raw             print each message's JSON text after its lines\n"
    "  --count N         stop after N messages (default 0: until interrupted)\n"
    "  --timeout-s N     give up with status 1 when no message came for N seconds\n"
    "                    (default 0: wait for ever)\n"
    "  --client-id ID    MQTT client id (default norvane_bridge)\n"
    "  --help            show this text\n"
    "Stops on Ctrl-C (SIGINT) or SIGTERM with status 0.\n";

void printUsage(std::FILE* stream) {
  fmt::print(stream, fmt::runtime(kUsage), kavrion::mosquitto::kDefaultServerUri);
}

std::string readWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error(fmt::format("cannot read configuration \"{}\"", path));
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void printLine(const std::string& line) {
  fmt::print("{}\n", line);
  std::fflush(stdout);
}

void showMessage(const kavrion::mosquitto::msg_t& message, bool raw) {
  const std::string text(message.payload.begin(), message.payload.end());
  try {
    for (const std::string& line :
         norvane::peers::describeMeterMessage(nlohmann::json::parse(text))) {
      printLine(line);
    }
  } catch (const nlohmann::json::exception& e) {
    printLine(fmt::format("not JSON ({}): {}", e.what(), text));
    return;
  }
  if (raw) printLine(text);
}

}  // namespace

int main(int argc, char** argv) {
  std::string config;
  std::string broker = kavrion::mosquitto::kDefaultServerUri;
  std::string clientId = "norvane_bridge";
  long qos = 2;
  long count = 0;
  long timeoutSeconds = 0;
  bool raw = false;
  const option options[] = {{"config", required_argument, nullptr, 'f'},
                            {"broker", required_argument, nullptr, 'b'},
                            {"qos", required_argument, nullptr, 'q'},
                            {"raw", no_argument, nullptr, 'r'},
                            {"count", required_argument, nullptr, 'n'},
                            {"timeout-s", required_argument, nullptr, 't'},
                            {"client-id", required_argument, nullptr, 'c'},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  try {
    for (int opt; (opt = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
      switch (opt) {
        case 'f': config = optarg; break;
        case 'b': broker = optarg; break;
        case 'q': qos = std::stol(optarg); break;
        case 'r': raw = true; break;
        case 'n': count = std::stol(optarg); break;
        case 't': timeoutSeconds = std::stol(optarg); break;
        case 'c': clientId = optarg; break;
        case 'h': printUsage(stdout); return EXIT_SUCCESS;
        default: printUsage(stderr); return EXIT_FAILURE;
      }
    }
    if (optind != argc || qos < 0 || qos > 2 || count < 0 || timeoutSeconds < 0) {
      printUsage(stderr);
      return EXIT_FAILURE;
    }
    const std::string configuration = config.empty() ? "" : readWholeFile(config);
    norvane::peers::blockStopSignals();
    kavrion::mosquitto::MqttAsyncWrapper client(clientId, broker);
    client.Connect(true);
    client.Subscribe(kMeterTopic, static_cast<kavrion::mosquitto::Qos>(qos), false);
    if (!config.empty()) {
      client.Send(kConfigurationTopic, configuration, kavrion::mosquitto::Qos::AtLeastOnce, true);
      printLine(fmt::format("norvane-bridge: configuration {} published on {}", config,
                            kConfigurationTopic));
    }
    printLine(fmt::format(
        "norvane-bridge: waiting for the first meter message on {}: the service sends one "
        "when its first 60-second window closes, about 80 s after it starts",
        kMeterTopic));
    const auto started = std::chrono::steady_clock::now();
    auto lastMessage = started;
    auto nextReminder = started + kWaitingReminder;
    long received = 0;
    while (count == 0 || received < count) {
      if (norvane::peers::waitForStopSignal(std::chrono::milliseconds(1))) break;
      try {
        showMessage(client.Receive(kMeterTopic, std::chrono::milliseconds(500)), raw);
        ++received;
        lastMessage = std::chrono::steady_clock::now();
        continue;
      } catch (const std::runtime_error&) {
        // nothing within half a second
      }
      const auto now = std::chrono::steady_clock::now();
      if (received == 0 && now >= nextReminder) {
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - started);
        printLine(fmt::format("norvane-bridge: still waiting for the first meter message ({} s)",
                              waited.count()));
        nextReminder += kWaitingReminder;
      }
      if (timeoutSeconds > 0 && now - lastMessage >= std::chrono::seconds(timeoutSeconds)) {
        fmt::print(stderr, "norvane-bridge: no meter message within {} s\n", timeoutSeconds);
        return EXIT_FAILURE;
      }
    }
  } catch (const std::exception& e) {
    fmt::print(stderr, "norvane-bridge: {}\n", e.what());
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
