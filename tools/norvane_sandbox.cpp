// norvane-sandbox: runs a command in private mount and network namespaces with empty /tmp,
// /var/log and /var/lib and its own loopback, so that a demonstration's broker, service and
// files never meet the host's. Trees given with --keep stay visible where they are.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "sandbox/private_dirs.h"

namespace {

// Like env(1) and nice(1): its own failures are 125, a command that cannot run 126 or 127.
constexpr int kSandboxFailed = 125;

constexpr const char* kUsage =
    "Usage: norvane-sandbox [--keep DIRECTORY]... [--] COMMAND [ARGUMENT]...\n"
    "Runs COMMAND in new mount and network namespaces (needs root): /tmp, /var/log and\n"
    "/var/lib are empty tmpfs mounts, the loopback interface is up and nothing else is\n"
    "reachable. Each DIRECTORY (a checkout, a build directory) stays visible at its path,\n"
    "also when it lies below one of the covered directories.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> kept;
  int first = 1;
  while (first < argc) {
    const std::string argument = argv[first];
    if (argument == "--keep" && first + 1 < argc) {
      kept.emplace_back(argv[first + 1]);
      first += 2;
    } else if (argument == "--") {
      ++first;
      break;
    } else if (argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument.rfind("--", 0) == 0) {
      std::fputs(kUsage, stderr);
      return kSandboxFailed;
    } else {
      break;
    }
  }
  if (first >= argc) {
    std::fputs(kUsage, stderr);
    return kSandboxFailed;
  }
  // The exec leaves the mounts in place (they end with the namespace); only a failed one
  // unmounts them again.
  std::optional<norvane::sandbox::PrivateDirectories> directories;
  try {
    norvane::sandbox::enterPrivateNamespaces();
    directories.emplace(std::vector<std::string>{"/tmp", "/var/log", "/var/lib"}, kept,
                        "norvane-sandbox");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "norvane-sandbox: %s\n", e.what());
    return kSandboxFailed;
  }
  ::execvp(argv[first], argv + first);
  const int error = errno;
  std::fprintf(stderr, "norvane-sandbox: cannot run %s: %s\n", argv[first], std::strerror(error));
  return error == ENOENT ? 127 : 126;
}
