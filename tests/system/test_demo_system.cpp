// scripts/demo itself, run from a checkout below /tmp as a newcomer's fresh clone would be:
// it must reach the first meter message, stop everything it started on SIGINT, and end
// with the name and last lines of a process that ended under it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "namespace_harness.h"

#if !defined(NORVANE_SOURCE_DIR) || !defined(NORVANE_BUILD_DIR)
#error "NORVANE_SOURCE_DIR and NORVANE_BUILD_DIR must name the checkout and its build"
#endif

extern char** environ;

namespace norvane::sim {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kCheckout = "/tmp/fresh clone/norvane";
const std::string kBuild = "/tmp/fresh clone/build";

std::string link(const std::string& path) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(path, ec);
  return ec ? "" : target.string();
}

// "pid name" of each process in the mount namespace @p ns, or of those called @p name.
std::vector<std::string> processesIn(const std::string& ns, const std::string& name = "") {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (link("/proc/" + pid + "/ns/mnt") != ns) continue;
    std::string comm;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), comm);
    if (name.empty() || comm == name) found.push_back(pid + " " + comm);
  }
  return found;
}

void killAll(const std::vector<std::string>& processes) {
  for (const std::string& process : processes) ::kill(std::stoi(process), SIGKILL);
}

class DemoSystem : public testing::NamespaceTest {
 protected:
  // Starts the demo from the checkout and build bound below /tmp.
  void startDemo(std::vector<std::string> options) {
    for (const auto& [tree, at] :
         {std::pair{NORVANE_SOURCE_DIR, kCheckout}, {NORVANE_BUILD_DIR, kBuild}}) {
      fs::create_directories(at);
      ASSERT_EQ(::mount(tree, at.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    }
    std::vector<std::string> arguments{kCheckout + "/scripts/demo", "--no-build"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<std::string> environment{"NORVANE_BUILD_DIR=" + kBuild};
    for (char** variable = environ; *variable != nullptr; ++variable)
      environment.emplace_back(*variable);
    std::vector<char*> argv, envp;
    for (auto& argument : arguments) argv.push_back(argument.data());
    for (auto& variable : environment) envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/tmp/demo.out",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    ASSERT_EQ(posix_spawn(&demo_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  // Waits for @p text in the demo's output, then notes the demo's own mount namespace.
  bool waitForOutput(const std::string& text, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output().find(text) == std::string::npos || namespace_.empty()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      const std::string ns = link("/proc/" + std::to_string(demo_) + "/ns/mnt");
      if (ns != link("/proc/self/ns/mnt")) namespace_ = ns;
      std::this_thread::sleep_for(100ms);
    }
    return true;
  }
  std::optional<int> waitForDemo(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(demo_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(50ms);
    }
    demo_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void TearDown() override {
    if (demo_ > 0) {
      ::kill(demo_, SIGKILL);
      ::waitpid(demo_, nullptr, 0);
    }
    if (!namespace_.empty()) killAll(processesIn(namespace_));
    for (const std::string& at : {kCheckout, kBuild}) ::umount2(at.c_str(), MNT_DETACH);
    NamespaceTest::TearDown();
  }
  static std::string output() { return readFile("/tmp/demo.out"); }

  pid_t demo_ = -1;
  std::string namespace_;
};

TEST_F(DemoSystem, StopsEverythingAndExits130OnSigintAfterTheFirstMeterMessage) {
  // A short back-fill shows a meter message right after the service's 20 s start-up.
  ASSERT_NO_FATAL_FAILURE(startDemo({"--backfill", "5"}));
  ASSERT_TRUE(waitForOutput("window ending ", 120s)) << output();
  EXPECT_NE(output().find("  m1 (meter_electricity) U L1: max "), std::string::npos) << output();
  ::kill(demo_, SIGINT);
  EXPECT_EQ(waitForDemo(30s), 130) << output();
  EXPECT_EQ(processesIn(namespace_), std::vector<std::string>{}) << output();
}

TEST_F(DemoSystem, NamesAProcessThatEndedWithItsStatusAndLastLinesAndStopsTheOthers) {
  ASSERT_NO_FATAL_FAILURE(startDemo({}));
  ASSERT_TRUE(waitForOutput("norvane started", 60s)) << output();
  const std::vector<std::string> history = processesIn(namespace_, "norvane-history");
  ASSERT_EQ(history.size(), 1U) << output();
  killAll(history);
  EXPECT_EQ(waitForDemo(30s), 1) << output();
  const std::string shown = output();
  const auto report =
      shown.find("demo: norvane-history ended with status 137 (SIGKILL); its last lines:\n");
  EXPECT_LT(report, shown.find("  norvane-history: answering on tcp://127.0.0.1:1883\n"
                               "demo: stopping the others\n",
                               report))
      << shown;
  EXPECT_EQ(processesIn(namespace_), std::vector<std::string>{}) << output();
}

}  // namespace
}  // namespace norvane::sim
