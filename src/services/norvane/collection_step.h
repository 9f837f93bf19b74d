// One collection step: gathers a reply for every cell of every entry over one window and
// publishes the meter message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "io_info.h"
#include "mqtt_async_wrapper.h"
#include "service_state.h"

namespace norvane {

enum class StepOutcome {
  kDone,       // the window was handled (however it went); the loop moves past it
  kPostponed,  // old step: the history peer stopped answering; nothing was published, and
               // the whole window is asked again later
};

StepOutcome performStep(std::pair<int64_t, int64_t> interval, bool current,
                        const kavrion::IoMap& ioMap,
                        std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client);

struct Channel {
  std::string device;
  std::string control;
};

// The reply a current step stands for when it takes a live-value record of @p id's
// @p channel: one row stamped with the window end. Records of a failed row show it.
std::string buildCacheReply(const std::string& id, const Channel& channel, int64_t windowEnd,
                            const data_t& record);

}  // namespace norvane
