// norvane-history: answers the service's history requests as wb-mqtt-db would, from the
// deterministic series, so the back-fill can be watched without a database.
#include <getopt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "mqtt_async_wrapper.h"
#include "peers/history_stand_in.h"
#include "peers/signals.h"

namespace {

constexpr const char* kUsage =
    "Usage: norvane-history [options]\n"
    "Answers history requests on /rpc/v1/db_logger/history/get_values/+ on <topic>/reply\n"
    "(QoS 0) with the figures of the asked window of the deterministic series (the one\n"
    "norvane-devices --values series publishes): each two-minute tooth sits a step higher,\n"
    "so every window has figures of its own.\n"
    "\n"
    "  --broker URI      broker to use (default {})\n"
    "  --silent          receive requests but never answer\n"
    "  --delay-ms N      wait N milliseconds before each answer\n"
    "  --text TEXT       answer every request with TEXT instead of the series\n"
    "  --malformed KINDS answer with replies of the wrong kind, the comma-separated KINDS in\n"
    "                    turn, or \"all\" of them: not-json, empty, not-object, unknown-id,\n"
    "                    no-control, no-value, figure-not-text, no-number, out-of-range,\n"
    "                    no-values, null\n"
    "  --twice           send every reply twice\n"
    "  --replay-every N  before every N-th reply, send the one given four requests earlier\n"
    "                    again (both: replies that answer other requests, as a confused\n"
    "                    logger or a replaying client would send them)\n"
    "  --client-id ID    MQTT client id (default norvane_history)\n"
    "  --help            show this text\n"
    "Stops on Ctrl-C (SIGINT) or SIGTERM.\n";

void printUsage(std::FILE* stream) {
  fmt::print(stream, fmt::runtime(kUsage), kavrion::mosquitto::kDefaultServerUri);
}

std::vector<norvane::peers::Malformation> malformationsNamed(const std::string& list) {
  if (list == "all") return norvane::peers::allMalformations();
  std::vector<norvane::peers::Malformation> malformations;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    malformations.push_back(norvane::peers::malformationNamed(list.substr(start, end - start)));
    start = end + 1;
  }
  return malformations;
}

}  // namespace

int main(int argc, char** argv) {
  std::string broker = kavrion::mosquitto::kDefaultServerUri;
  std::string clientId = "norvane_history";
  norvane::peers::Behaviour usual = norvane::peers::answer();
  std::chrono::milliseconds delay{0};
  bool twice = false;
  int replayEvery = 0;
  const option options[] = {
      {"broker", required_argument, nullptr, 'b'}, {"silent", no_argument, nullptr, 's'},
      {"delay-ms", required_argument, nullptr, 'd'}, {"text", required_argument, nullptr, 't'},
      {"client-id", required_argument, nullptr, 'c'}, {"help", no_argument, nullptr, 'h'},
      {"malformed", required_argument, nullptr, 'm'}, {"twice", no_argument, nullptr, 'w'},
      {"replay-every", required_argument, nullptr, 'r'},
      {nullptr, 0, nullptr, 0}};
  try {
    for (int opt; (opt = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
      switch (opt) {
        case 'b': broker = optarg; break;
        case 's': usual = norvane::peers::silence(); break;
        case 'd': delay = std::chrono::milliseconds(std::stol(optarg)); break;
        case 'm': usual = norvane::peers::malformed(malformationsNamed(optarg)); break;
        case 't': usual = norvane::peers::sendText(optarg); break;
        case 'c': clientId = optarg; break;
        case 'w': twice = true; break;
        case 'r': replayEvery = std::stoi(optarg); break;
        case 'h': printUsage(stdout); return EXIT_SUCCESS;
        default: printUsage(stderr); return EXIT_FAILURE;
      }
    }
    if (optind != argc || delay.count() < 0 || replayEvery < 0) {
      printUsage(stderr);
      return EXIT_FAILURE;
    }
    // Applies whichever of the answering options came first or last.
    usual.delay = delay;
    usual.twice = twice;
    usual.replayEvery = replayEvery;
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
