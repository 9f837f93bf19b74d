// The history call to wb-mqtt-db: request texts, request/reply topics and their renewal.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "history_reply.h"
#include "io_info.h"
#include "mqtt_async_wrapper.h"

namespace norvane {

// One request text per cell of the entry, in sorted cell order.
std::deque<std::string> makeRequests(const std::string& id,
                                     const std::unique_ptr<kavrion::IoInfo>& io,
                                     std::pair<int64_t, int64_t> interval);

// Sets send_topic and bd_topic (moving to the next counter unless initial) and subscribes
// the reply topic.
void db_resubscribe(bool initial, std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> client);

// One request in flight: clears the queue so a stale reply is never taken, publishes the
// request on send_topic and waits on bd_topic for the reply that answers @p awaited. A reply
// that shows it answers another request is dropped with one warning per exchange, and the
// wait goes on to the same deadline. @p whileWaiting runs about once a second meanwhile.
// An empty payload is returned as an empty text.
// Throws std::runtime_error when no reply arrives within the reply timeout.
ReceivedReply exchangeRequest(kavrion::mosquitto::MqttAsyncWrapper& client,
                              const std::string& request, const AwaitedReply& awaited,
                              const std::function<void()>& whileWaiting = {});

// How long a request waits for its reply (60 s). Test seam; returns the previous value.
std::chrono::milliseconds setReplyTimeout(std::chrono::milliseconds timeout);

}  // namespace norvane
