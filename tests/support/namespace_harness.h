// Fixture for tests of the real norvane binary: the test process moves into a private mount
// and network namespace, gets empty /tmp, /var/log and /var/lib and its own broker on
// 127.0.0.1:1883, and runs the binary as a child there.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mqtt_async_wrapper.h"
#include "sandbox/private_dirs.h"
#include "test_broker.h"

namespace norvane::testing {

class NamespaceTest : public ::testing::Test {
 public:
  // The broker the production binary connects to.
  static constexpr const char* kBrokerUri = "tcp://127.0.0.1:1883";
  static constexpr int kBrokerPort = 1883;

 protected:
  // Skips the test (GTEST_SKIP) when the process is not root or may not create namespaces.
  void SetUp() override;
  // Kills the service if it still runs, stops the broker, drops the private directories.
  void TearDown() override;

  // Starts the built binary with @p invocationName as argument 0 (the log directory's name)
  // and the test's environment, with @p environment ("NAME=value") added.
  void startService(const std::string& invocationName = "norvane",
                    const std::vector<std::string>& environment = {});
  pid_t servicePid() const { return servicePid_; }
  // The exit status once the service has ended within @p timeout; nothing while it runs.
  // A service killed by a signal gives 128 + the signal number.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  bool serviceRunning();
  void killService();
  // The service's resident memory (VmRSS) in KiB; 0 when it does not run.
  std::size_t serviceResidentKiB() const;
  // Everything the service wrote on stdout and stderr.
  std::string serviceOutput() const;

  // Creates the missing directories of @p path, then the file.
  static void writeFile(const std::filesystem::path& path, const std::string& content);
  // The whole file; empty when it does not exist.
  static std::string readFile(const std::filesystem::path& path);

  // The text of every file below /var/log/p7/<invocationName>/, in path order.
  static std::string readLog(const std::string& invocationName = "norvane");
  // Waits until the log holds @p text; false after @p timeout.
  static bool waitForLog(const std::string& text, std::chrono::milliseconds timeout,
                         const std::string& invocationName = "norvane");

  // A connected client of the private broker.
  static std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> connectClient(
      const std::string& clientId);
  // Publishes with QoS 1 through a short-lived client.
  static void publish(const std::string& topic, const std::string& payload, bool retained);

  TestBroker& broker() { return *broker_; }

 private:
  std::unique_ptr<TestBroker> broker_;
  pid_t servicePid_ = -1;
  std::optional<int> exitStatus_;
  std::optional<sandbox::PrivateDirectories> directories_;
};

}  // namespace norvane::testing
