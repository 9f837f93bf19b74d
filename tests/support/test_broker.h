// A real mosquitto on a free loopback port for integration tests, and a temporary directory.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace norvane::testing {

// Removes itself and everything below it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // The path as a directory string ending in '/'.
  std::string dir() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

// Starts mosquitto on construction (retrying on another port when the chosen one was taken
// meanwhile) and stops it on destruction. Sessions and retained messages persist across
// stop()/start() on the same port, so a test can restart the broker under its clients.
class TestBroker {
 public:
  TestBroker();
  // On the given loopback port (a private network namespace's 1883); throws
  // std::runtime_error when mosquitto cannot listen there.
  explicit TestBroker(int fixedPort);
  ~TestBroker();
  TestBroker(const TestBroker&) = delete;
  TestBroker& operator=(const TestBroker&) = delete;

  int port() const { return port_; }
  std::string uri() const;  // "tcp://127.0.0.1:<port>"

  // The broker's record of every subscription it received, one line each:
  // "<time>: <client id> <QoS> <topic filter>".
  std::string subscriptionLog() const;

  void stop();   // SIGTERM, waits for the exit (the broker saves its sessions)
  void start();  // again on the same port; throws std::runtime_error if it cannot listen

 private:
  bool launch();  // false when mosquitto exited (port taken)
  TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace norvane::testing
