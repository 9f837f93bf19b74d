// Starts and stops a private mosquitto for the broker tests.
#include "test_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace norvane::testing {

namespace {

int pickFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket() failed while picking a test port");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind() failed while picking a test port");
  }
  int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

bool canConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "norvane-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TestBroker::TestBroker() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    port_ = pickFreePort();
    if (launch()) return;
  }
  throw std::runtime_error("mosquitto did not start on any of 20 free ports");
}

TestBroker::TestBroker(int fixedPort) : port_(fixedPort) {
  if (!launch()) {
    throw std::runtime_error("mosquitto did not start on port " + std::to_string(port_));
  }
}

TestBroker::~TestBroker() { stop(); }

std::string TestBroker::uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

std::string TestBroker::subscriptionLog() const {
  std::ifstream in(dir_.path() / "mosquitto.log");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void TestBroker::start() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (launch()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // port still in TIME_WAIT
  }
  throw std::runtime_error("mosquitto did not restart on port " + std::to_string(port_));
}

bool TestBroker::launch() {
  const auto conf = dir_.path() / "mosquitto.conf";
  {
    std::ofstream out(conf);
    out << "listener " << port_ << " 127.0.0.1\n"
        << "allow_anonymous true\n"
        << "persistence true\n"
        << "persistence_location " << dir_.dir() << "\n"
        << "autosave_interval 0\n"
        << "max_queued_messages 0\n"
        // Written at once, before the subscription is acknowledged.
        << "log_dest file " << (dir_.path() / "mosquitto.log").string() << "\n"
        << "log_type subscribe\n";
    if (::geteuid() == 0) out << "user root\n";
  }
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed while starting mosquitto");
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test killed by its timeout takes its broker along
    ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (canConnect(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop();
  return false;
}

void TestBroker::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

}  // namespace norvane::testing
