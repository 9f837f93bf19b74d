// The simulator programs as the demo runs them: the bridge stand-in publishes the example
// configuration, simulated meters publish, one device reports an error, and the bridge
// shows the service's first meter message.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "namespace_harness.h"

#ifndef NORVANE_TOOLS_DIR
#error "NORVANE_TOOLS_DIR must name the directory of the built simulators"
#endif
#ifndef NORVANE_EXAMPLE_CONFIGURATION
#error "NORVANE_EXAMPLE_CONFIGURATION must name docs/examples/configuration.json"
#endif

extern char** environ;

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;

// A simulator running as a child with its output in a file; stopped with SIGTERM.
class Tool {
 public:
  Tool(const std::string& name, std::vector<std::string> arguments, std::string output)
      : output_(std::move(output)) {
    const std::string path = std::string(NORVANE_TOOLS_DIR) + "/" + name;
    arguments.insert(arguments.begin(), path);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int failed = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + path);
  }
  ~Tool() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  // The exit status once the tool ended within the timeout.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (std::chrono::steady_clock::now() >= deadline) {
        break;
      } else {
        std::this_thread::sleep_for(20ms);
      }
    }
    return status_;
  }
  std::optional<int> stop() {
    if (!status_) ::kill(pid_, SIGTERM);
    return waitForExit(10s);
  }
  std::string output() const {
    std::ifstream in(output_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

bool waitForLine(const Tool& tool, const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (tool.output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

class ToolsSystem : public testing::NamespaceTest {};

TEST_F(ToolsSystem, BridgeShowsTheFirstMeterMessageOfTheExampleMetersWithoutTheFailingOne) {
  Tool bridge("norvane-bridge",
              {"--config", NORVANE_EXAMPLE_CONFIGURATION, "--count", "1", "--timeout-s", "150"},
              "/tmp/bridge.out");
  ASSERT_TRUE(waitForLine(bridge, "norvane-bridge: waiting for the first meter message", 20s))
      << bridge.output();
  Tool devices("norvane-devices", {"--config", NORVANE_EXAMPLE_CONFIGURATION, "--error", "meter_2"},
               "/tmp/devices.out");
  startService();

  const auto status = bridge.waitForExit(150s);
  ASSERT_TRUE(status) << bridge.output() << readLog();
  EXPECT_EQ(*status, 0) << bridge.output();
  const std::string shown = bridge.output();
  EXPECT_NE(shown.find("window ending "), std::string::npos) << shown;
  for (const char* cell : {"U L1", "U L2", "U L3", "I L1", "I L2", "I L3", "P", "Total AP energy"}) {
    EXPECT_NE(shown.find(std::string("  m1 (meter_electricity) ") + cell + ": max "),
              std::string::npos)
        << cell << "\n" << shown;
  }
  EXPECT_NE(shown.find("  w1 (water) V: max "), std::string::npos) << shown;
  EXPECT_EQ(shown.find("  m2 "), std::string::npos) << "meter_2 reports an error\n" << shown;
  EXPECT_NE(devices.output().find("/devices/meter_2/meta/error \"r\""), std::string::npos)
      << devices.output();
  EXPECT_EQ(devices.stop(), 0) << devices.output();
  EXPECT_TRUE(serviceRunning());
}

}  // namespace
}  // namespace norvane::sim
