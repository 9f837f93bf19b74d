// Start-up of the service, in the order the threads and the shared state require.
#include "startup.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "availability_cache.h"
#include "collection_step.h"
#include "configuration.h"
#include "error_map.h"
#include "history_client.h"
#include "history_reply.h"
#include "io_info.h"
#include "mqtt_async_wrapper.h"
#include "service_state.h"
#include "watchdog.h"

namespace norvane {

namespace {

constexpr const char* kMainClientId = "db_listener_configuration";
// Gives the error map time to learn the devices' states before live values are cached.
constexpr std::chrono::seconds kAvailabilityHeadStart{20};

[[noreturn]] void endWithFatalError(P7::TraceObject* trace, const char* what) {
  NV_TRACE(trace, P7::kError, "Fatal error: %s", P7::excerpt(what).c_str());
  exitService(kExitFatal);
}

// A thread body is meant never to return; an error escaping it must not abort the process
// without a record.
void startDetached(void (*body)(const std::string&)) {
  std::thread([body] {
    try {
      body(kavrion::mosquitto::kDefaultServerUri);
    } catch (const std::exception& e) {
      endWithFatalError(P7::getTrace(), e.what());
    }
  }).detach();
}

std::shared_ptr<const kavrion::IoMap> buildIoMap(P7::TraceObject* trace) {
  try {
    // Before the document, so that its trim comes after the document is freed.
    kavrion::TemplateCacheCleanupGuard guard(true);
    const auto document = nlohmann::json::parse(configuration, nullptr, true, false);
    return std::make_shared<const kavrion::IoMap>(
        kavrion::parseIoStructure<kavrion::IoInfo>(document, guard, true));
  } catch (const nlohmann::json::exception& e) {
    NV_TRACE(trace, P7::kError, "Configuration JSON error: %s", P7::excerpt(e.what()).c_str());
  } catch (const std::runtime_error& e) {
    NV_TRACE(trace, P7::kError, "Configuration parse error: %s", P7::excerpt(e.what()).c_str());
  }
  exitService(kExitNoData);
}

CollectionLoop startUp(P7::TraceObject* trace) {
  kavrion::mosquitto::ClientOptions options;
  options.maxPayloadBytes = kMaxConfigurationBytes;
  auto client = std::make_shared<kavrion::mosquitto::MqttAsyncWrapper>(kMainClientId, options);
  client->Connect(true);

  configuration = obtainConfiguration(client);
  if (configuration.empty()) {
    NV_TRACE(trace, P7::kError, "No configuration available. Exiting.");
    exitService(kExitNoData);
  }

  const auto ioMap = buildIoMap(trace);
  if (ioMap->empty()) exitService(kExitDone);

  initErrorMap(*ioMap);
  startDetached(error_map_sync);
  std::this_thread::sleep_for(kAvailabilityHeadStart);
  startDetached(cache_map_sync);
  // From here on the client receives history replies only.
  client->SetMaxPayloadBytes(kMaxReplyBytes);
  db_resubscribe(true, client);

  CollectionLoop loop;
  loop.step = [ioMap, client](Window window, bool current, const StepOptions& options) {
    return performStep(window, current, *ioMap, client, options);
  };
  loop.sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
  // From here on systemd's watchdog expects the loop's pings.
  notifyReady();
  return loop;
}

}  // namespace

CollectionLoop startService(P7::TraceObject* trace) {
  NV_TRACE(trace, P7::kInfo, "Version %s", NORVANE_VERSION_STRING);
  try {
    return startUp(trace);
  } catch (const std::exception& e) {
    endWithFatalError(trace, e.what());
  }
}

}  // namespace norvane
