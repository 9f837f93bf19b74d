// Private namespaces, broker and child process for the tests of the real binary.
#include "namespace_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "sandbox/private_dirs.h"

#ifndef NORVANE_BINARY
#error "NORVANE_BINARY must name the built norvane executable"
#endif

namespace norvane::testing {

namespace {

// The three places the service writes to; each test gets them empty.
const std::vector<std::string> kPrivateDirectories{"/tmp", "/var/log", "/var/lib"};
const char* const kServiceOutput = "/tmp/norvane-service.out";

std::string errnoText(const std::string& what) {
  return what + " failed: " + std::strerror(errno) + " (errno " + std::to_string(errno) + ")";
}

int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// Namespaces belong to threads: the move must happen while the test process has one thread,
// and only once, since a process cannot leave its new namespaces again.
std::string enterPrivateNamespaces() {
  static std::string failure = []() -> std::string {
    if (::geteuid() != 0) {
      return "the tests of the real binary need root (private mount and network namespaces)";
    }
    if (threadCount() != 1) {
      return "the test process already runs threads; it must enter its namespaces before any";
    }
    try {
      sandbox::enterPrivateNamespaces();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }();
  return failure;
}

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a program without a shell; its status, or -1 when it did not end within the timeout.
int runProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(errnoText("fork for " + arguments.front()));
  if (pid == 0) {
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The checkout and the build directory: the binary, the tools and the examples are run and
// read from them, also when CI cloned the checkout into /tmp.
const std::vector<std::string> kProjectTrees{NORVANE_SOURCE_DIR, NORVANE_BUILD_DIR};

}  // namespace

void NamespaceTest::SetUp() {
  const std::string failure = enterPrivateNamespaces();
  if (!failure.empty()) GTEST_SKIP() << failure;
  try {
    directories_.emplace(kPrivateDirectories, kProjectTrees, "norvane-test");
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  broker_ = std::make_unique<TestBroker>(kBrokerPort);
}

void NamespaceTest::TearDown() {
  killService();
  broker_.reset();
  directories_.reset();
}

void NamespaceTest::startService(const std::string& invocationName,
                                 const std::vector<std::string>& environment) {
  if (servicePid_ > 0) throw std::runtime_error("the service is already running");
  // Everything the child needs is prepared before fork: between fork and exec only
  // async-signal-safe calls are allowed, and the test may already run client threads.
  const std::string binary = NORVANE_BINARY;
  std::vector<char*> argv{const_cast<char*>(invocationName.c_str()), nullptr};
  std::vector<char*> envp;
  for (char** variable = environ; *variable != nullptr; ++variable) envp.push_back(*variable);
  for (const auto& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(errnoText("fork for the service"));
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    int out = ::open(kServiceOutput, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    ::execve(binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  servicePid_ = pid;
  exitStatus_.reset();
}

std::optional<int> NamespaceTest::waitForExit(std::chrono::milliseconds timeout) {
  if (exitStatus_) return exitStatus_;
  if (servicePid_ <= 0) throw std::runtime_error("the service was not started");
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(servicePid_, &status, WNOHANG);
    if (done == servicePid_) {
      servicePid_ = -1;
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitStatus_;
    }
    if (done < 0) throw std::runtime_error(errnoText("waitpid for the service"));
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool NamespaceTest::serviceRunning() {
  return servicePid_ > 0 && !waitForExit(std::chrono::milliseconds(0));
}

std::size_t NamespaceTest::serviceResidentKiB() const {
  const std::string status = readFile(fmt::format("/proc/{}/status", servicePid_));
  const auto field = status.find("VmRSS:");
  return field == std::string::npos ? 0 : std::stoul(status.substr(field + 6));
}

void NamespaceTest::killService() {
  if (servicePid_ <= 0) return;
  ::kill(servicePid_, SIGKILL);
  int status = 0;
  ::waitpid(servicePid_, &status, 0);
  servicePid_ = -1;
  exitStatus_ = 128 + SIGKILL;
}

std::string NamespaceTest::serviceOutput() const { return readWholeFile(kServiceOutput); }

void NamespaceTest::writeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string NamespaceTest::readFile(const std::filesystem::path& path) {
  return readWholeFile(path);
}

std::string NamespaceTest::readLog(const std::string& invocationName) {
  // The invocation name is taken verbatim, slashes included.
  const std::filesystem::path directory = "/var/log/p7/" + invocationName;
  std::error_code ec;
  if (!std::filesystem::is_directory(directory, ec)) return "";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::string text;
  for (const auto& file : files) text += readWholeFile(file);
  return text;
}

bool NamespaceTest::waitForLog(const std::string& text, std::chrono::milliseconds timeout,
                               const std::string& invocationName) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (readLog(invocationName).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::shared_ptr<kavrion::mosquitto::MqttAsyncWrapper> NamespaceTest::connectClient(
    const std::string& clientId) {
  auto client = std::make_shared<kavrion::mosquitto::MqttAsyncWrapper>(clientId, kBrokerUri);
  client->Connect(true);
  return client;
}

void NamespaceTest::publish(const std::string& topic, const std::string& payload, bool retained) {
  // mosquitto_pub returns only after the broker acknowledged the QoS 1 message.
  std::vector<std::string> arguments{"mosquitto_pub",
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(kBrokerPort),
                                     "-q",
                                     "1",
                                     "-t",
                                     topic};
  if (retained) arguments.push_back("-r");
  if (payload.empty()) {
    arguments.push_back("-n");
  } else {
    arguments.push_back("-m");
    arguments.push_back(payload);
  }
  if (runProgram(arguments, std::chrono::seconds(10)) != 0) {
    throw std::runtime_error("mosquitto_pub to \"" + topic + "\" failed");
  }
}

}  // namespace norvane::testing
