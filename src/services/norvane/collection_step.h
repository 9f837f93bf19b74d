// One collection step: gathers a reply for every cell of every entry over one window and
// publishes the meter message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "io_info.h"
#include "mqtt_async_wrapper.h"
#include "service_state.h"

namespace norvane {

enum class StepOutcome {
  kDone,  // the window was handled (however it went); the loop moves past it
  // Old steps only: nothing was published, and the whole window is asked again later.
  kPostponed,        // the history peer answered none of the window's requests
  kPostponedPartly,  // it answered some, then missed two in a row
};

// What the loop tells an old step.
struct StepOptions {
  // The window was postponed again and again although wb-mqtt-db answered some of its
  // requests: every cell is asked once, and those that fail are given up.
  bool lastAttempt = false;
  // Runs about once a second while a reply is awaited: the loop steps the live windows
  // that fall due meanwhile.
  std::function<void()> whileWaiting;
};

StepOutcome performStep(std::pair<int64_t, int64_t> interval, bool current,
                        const kavrion::IoMap& ioMap,
                        std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client,
                        const StepOptions& options = {});

struct Channel {
  std::string device;
  std::string control;
};

// The reply a current step stands for when it takes a live-value record of @p id's
// @p channel: one row stamped with the window end. Records of a failed row show it.
std::string buildCacheReply(const std::string& id, const Channel& channel, int64_t windowEnd,
                            const data_t& record);

}  // namespace norvane
