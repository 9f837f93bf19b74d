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

// The reply a current step gives itself for one request text from a live-value record:
// one row for the request's channel, stamped with the request's window end.
std::string buildCacheReply(const nlohmann::json& request, const data_t& record);

}  // namespace norvane
