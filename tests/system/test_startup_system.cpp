// The real binary's start-up: where its configuration comes from, its log, and its early
// exits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "notify_listener.h"
#include "simulated_controller.h"

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kCacheFile = "/var/lib/kavrion/configuration_cache.json";

// One device with one cell and no ping topic: always available.
std::string configurationWithEntry(int64_t createdAt) {
  return json{{"created_at_ts", createdAt},
              {"io", {{{"id", "m1"}, {"device", "meter_1"}, {"type", "t"}, {"cells", {"P"}}}}}}
      .dump();
}
std::string configurationWithoutEntries(int64_t createdAt) {
  return json{{"created_at_ts", createdAt}, {"io", json::array()}}.dump();
}

using StartupSystem = SimulatedControllerTest;

TEST_F(StartupSystem, TakesItsConfigurationFromTheRetainedMessage) {
  publish(kConfigurationTopic, configurationWithEntry(100), true);
  startService();
  expectRunningAfter("Using MQTT config (no file cache)", 15s);
  const std::string log = readLog();
  EXPECT_NE(log.find("Version 0.1.0-1 (commit "), std::string::npos) << log;
  EXPECT_NE(log.find("MQTT configuration received (ts: 100)"), std::string::npos) << log;
  EXPECT_NE(log.find("No cached configuration at /var/lib/kavrion/configuration_cache.json"),
            std::string::npos)
      << log;
}

TEST_F(StartupSystem, TakesTheCacheFileAfterWaiting30SecondsForMqtt) {
  writeFile(kCacheFile, configurationWithEntry(100));
  const auto started = std::chrono::steady_clock::now();
  startService();
  expectRunningAfter("Using file config (MQTT unavailable)", 45s);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 29s);
  EXPECT_NE(readLog().find("Cached configuration loaded (ts: 100)"), std::string::npos);
}

TEST_F(StartupSystem, NewerFileWinsOverOlderMqttConfiguration) {
  // Had the MQTT copy won, its empty entry list would have ended the service with status 0.
  writeFile(kCacheFile, configurationWithEntry(200));
  publish(kConfigurationTopic, configurationWithoutEntries(100), true);
  startService();
  expectRunningAfter("Using file config (file ts:200 > mqtt ts:100)", 15s);
}

TEST_F(StartupSystem, EqualTimestampsChooseMqtt) {
  writeFile(kCacheFile, configurationWithEntry(100));
  publish(kConfigurationTopic, configurationWithoutEntries(100), true);
  startService();
  const auto status = waitForExit(15s);
  ASSERT_TRUE(status) << readLog();
  EXPECT_EQ(*status, 0);
  EXPECT_NE(readLog().find("Using MQTT config (mqtt ts:100 >= file ts:100)"), std::string::npos);
}

TEST_F(StartupSystem, EndsWithStatus1WithoutConfigurationAfterThe30SecondWait) {
  const auto started = std::chrono::steady_clock::now();
  startService();
  const auto status = waitForExit(60s);
  ASSERT_TRUE(status) << readLog();
  EXPECT_EQ(*status, 1);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 29s);
  const std::string log = readLog();
  EXPECT_NE(log.find("No configuration available from any source!"), std::string::npos) << log;
  EXPECT_NE(log.find("No configuration available. Exiting."), std::string::npos) << log;
}

TEST_F(StartupSystem, EndsWithStatus0ForAConfigurationWithoutEntries) {
  publish(kConfigurationTopic, configurationWithoutEntries(100), true);
  startService();
  const auto status = waitForExit(15s);
  ASSERT_TRUE(status) << readLog();
  EXPECT_EQ(*status, 0);
  // Ended before the collection loop: no progress file was started.
  EXPECT_FALSE(std::filesystem::exists(kProgressFile));
}

TEST_F(StartupSystem, EndsWithStatus1ForAConfigurationTheIoModelRejects) {
  publish(kConfigurationTopic, R"({"created_at_ts":1,"io":[{"id":"m1","cells":["P"]}]})", true);
  startService();
  const auto status = waitForExit(15s);
  ASSERT_TRUE(status) << readLog();
  EXPECT_EQ(*status, 1);
  EXPECT_NE(readLog().find("Configuration parse error: "), std::string::npos) << readLog();
}

TEST_F(StartupSystem, TellsSystemdItIsReadyOnceTheReplyTopicIsSubscribedThenKeepsPinging) {
  testing::NotifyListener systemd;
  publish(kConfigurationTopic, configurationWithEntry(100), true);
  startService("norvane", {"NOTIFY_SOCKET=" + systemd.address()});
  // The configuration is retained; the 20 s head start of the availability threads remains.
  ASSERT_EQ(systemd.next(60s), "READY=1") << readLog() << serviceOutput();
  // The broker writes down a subscription before it acknowledges it, and the service waits
  // for the acknowledgement.
  EXPECT_THAT(broker().subscriptionLog(),
              ::testing::HasSubstr(" db_listener_configuration 0 "
                                   "/rpc/v1/db_logger/history/get_values/pid_" +
                                   std::to_string(servicePid()) + "_N0/reply\n"));
  std::vector<std::string> later;
  while (auto datagram = systemd.next(5s)) {
    later.push_back(*datagram);
    if (later.size() == 5) break;
  }
  EXPECT_EQ(later, std::vector<std::string>(5, "WATCHDOG=1"));
}

TEST_F(StartupSystem, LogsUnderItsInvocationNameVerbatim) {
  publish(kConfigurationTopic, configurationWithoutEntries(100), true);
  startService("/usr/bin/norvane");
  ASSERT_TRUE(waitForExit(15s));
  EXPECT_TRUE(std::filesystem::is_directory("/var/log/p7//usr/bin/norvane"));
  EXPECT_NE(readLog("/usr/bin/norvane").find("Version 0.1.0-1 (commit "), std::string::npos);
}

}  // namespace
}  // namespace norvane::sim
