// The MQTT client without a broker: argument checks and calls that must not throw offline.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "mqtt_async_wrapper.h"

namespace kavrion::mosquitto {
namespace {

using namespace std::chrono_literals;

// Port 9 (discard) on loopback: nothing listens there, and the client is never connected.
constexpr const char* kNowhere = "tcp://127.0.0.1:9";

template <typename Call>
std::string errorText(Call call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no exception";
}

TEST(MqttClientOffline, SendRejectsTopicsThatWouldMakeTheBrokerDropTheConnection) {
  MqttAsyncWrapper client("offline-send-check", kNowhere);
  EXPECT_EQ(errorText([&] { client.Send("/devices/+/controls/x", "1", Qos::ExactlyOnce, false); }),
            "MQTT error: send \"/devices/+/controls/x\": not a valid topic name");
  EXPECT_EQ(errorText([&] { client.Send("/a/#", "1", Qos::AtMostOnce, false); }),
            "MQTT error: send \"/a/#\": not a valid topic name");
  EXPECT_EQ(errorText([&] { client.Send("", "1", Qos::AtMostOnce, false); }),
            "MQTT error: send \"\": not a valid topic name");
}

TEST(MqttClientOffline, SubscribeRejectsMalformedFilters) {
  MqttAsyncWrapper client("offline-subscribe-check", kNowhere);
  for (const std::string filter : {"a/#/b", "a#", "/a/b+", "+a", ""}) {
    EXPECT_EQ(errorText([&] { client.Subscribe(filter, Qos::AtMostOnce, false); }),
              "MQTT error: subscribe \"" + filter + "\": not a valid topic filter");
  }
}

TEST(MqttClientOffline, CallsBeforeAnyConnectionDoNotThrow) {
  MqttAsyncWrapper client("offline-calls", kNowhere);
  EXPECT_NO_THROW(client.Subscribe("/devices/+/controls/+", Qos::AtMostOnce, true));
  EXPECT_NO_THROW(client.Unsubscribe("/devices/+/controls/+"));
  EXPECT_NO_THROW(client.Unsubscribe("/never/subscribed"));
  EXPECT_NO_THROW(client.Send("/kv/bridge/data/meter", "{}", Qos::ExactlyOnce, false));
  EXPECT_NO_THROW(
      client.Send("/rpc/v1/db_logger/history/get_values", "{}", Qos::AtMostOnce, false));
  EXPECT_NO_THROW(client.ClearRecievedQueue());
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.connectionCount(), 0u);
}

TEST(MqttClientOffline, NegativeTimeoutReturnsAtOnce) {
  MqttAsyncWrapper client("offline-receive", kNowhere);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(errorText([&] { client.Receive("/#", -1); }), "no message on \"/#\" within -1 s");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(errorText([&] { client.Receive("/x", 1500ms); }), "no message on \"/x\" within 1.5 s");
}

}  // namespace
}  // namespace kavrion::mosquitto
