// norvane-history: answers the service's history requests as wb-mqtt-db would, from the
// deterministic series, so the back-fill can be watched without a database.
#include <getopt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <fmt/format.h>

#include "mqtt_async_wrapper.h"
#include "peers/history_stand_in.h"
#include "peers/signals.h"

namespace {

constexpr const char* kUsage =
    "Usage: norvane-history [options]\n"
    "Answers history requests on /rpc/v1/db_logger/history/get_values/+ on <topic>/reply.\n"
    "\n"
    "  --broker URI      broker to use (default {})\n"
    "  --silent          receive requests but never answer\n"
    "  --delay-ms N      wait N milliseconds before each answer\n"
    "  --text TEXT       answer every request with TEXT instead of the series\n"
    "  --client-id ID    MQTT client id (default norvane_history)\n"
    "  --help            show this text\n";

void printUsage(std::FILE* stream) {
  fmt::print(stream, fmt::runtime(kUsage), kavrion::mosquitto::kDefaultServerUri);
}

}  // namespace

int main(int argc, char** argv) {
  std::string broker = kavrion::mosquitto::kDefaultServerUri;
  std::string clientId = "norvane_history";
  norvane::peers::Behaviour usual = norvane::peers::answer();
  const option options[] = {
      {"broker", required_argument, nullptr, 'b'}, {"silent", no_argument, nullptr, 's'},
      {"delay-ms", required_argument, nullptr, 'd'}, {"text", required_argument, nullptr, 't'},
      {"client-id", required_argument, nullptr, 'c'}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  try {
    for (int opt; (opt = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
      switch (opt) {
        case 'b': broker = optarg; break;
        case 's': usual = norvane::peers::silence(); break;
        case 'd': usual.delay = std::chrono::milliseconds(std::stol(optarg)); break;
        case 't': usual = norvane::peers::sendText(optarg); break;
        case 'c': clientId = optarg; break;
        case 'h': printUsage(stdout); return EXIT_SUCCESS;
        default: printUsage(stderr); return EXIT_FAILURE;
      }
    }
    norvane::peers::blockStopSignals();
    norvane::peers::HistoryStandIn standIn(broker, clientId, usual);
    fmt::print("norvane-history: answering on {}\n", broker);
    std::fflush(stdout);
    norvane::peers::waitForStopSignal(std::chrono::milliseconds::zero());
  } catch (const std::exception& e) {
    fmt::print(stderr, "norvane-history: {}\n", e.what());
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
