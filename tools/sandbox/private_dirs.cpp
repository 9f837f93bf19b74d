// Private namespaces and directories that keep the project's trees visible.
#include "sandbox/private_dirs.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace norvane::sandbox {

namespace {

std::string errnoText(const std::string& what) {
  return what + " failed: " + std::strerror(errno) + " (errno " + std::to_string(errno) + ")";
}

void bringLoopbackUp() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw std::runtime_error(errnoText("socket for the loopback interface"));
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  const std::string failure = ok ? "" : errnoText("bringing up the loopback interface");
  ::close(fd);
  if (!ok) throw std::runtime_error(failure);
}

bool isBelow(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

// A tree compared by its real path: a symbolic link on the way would hide that it lies below
// a covered directory.
std::string realPath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}

struct KeptTree {
  std::string path;
  int handle;
};

void closeAll(const std::vector<KeptTree>& trees) {
  for (const KeptTree& tree : trees) ::close(tree.handle);
}

// O_PATH handles on the trees that the tmpfs about to cover @p directory would hide; a tree
// inside another kept one comes along with it.
std::vector<KeptTree> openTreesBelow(const std::string& directory,
                                     const std::vector<std::string>& trees) {
  std::vector<std::string> below;
  for (const std::string& tree : trees) {
    if (isBelow(tree, directory)) below.push_back(tree);
  }
  std::sort(below.begin(), below.end());
  std::vector<KeptTree> kept;
  for (const std::string& tree : below) {
    if (!kept.empty() && (tree == kept.back().path || isBelow(tree, kept.back().path))) continue;
    const int handle = ::open(tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (handle >= 0) kept.push_back({tree, handle});
  }
  return kept;
}

// Bind-mounts each tree at its old path, now inside the new tmpfs; closes the handles.
std::string bindBack(const std::vector<KeptTree>& trees) {
  std::string failure;
  for (const KeptTree& tree : trees) {
    std::error_code ec;
    std::filesystem::create_directories(tree.path, ec);
    const std::string source = "/proc/self/fd/" + std::to_string(tree.handle);
    if (failure.empty() &&
        ::mount(source.c_str(), tree.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      failure = errnoText("keeping " + tree.path + " visible");
    }
    ::close(tree.handle);
  }
  return failure;
}

}  // namespace

void enterPrivateNamespaces() {
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    throw std::runtime_error(
        errnoText("unshare(CLONE_NEWNS | CLONE_NEWNET) (needs CAP_SYS_ADMIN)"));
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    throw std::runtime_error(errnoText("making / private"));
  }
  bringLoopbackUp();
}

PrivateDirectories::PrivateDirectories(const std::vector<std::string>& directories,
                                       const std::vector<std::string>& keptTrees,
                                       const std::string& source) {
  std::vector<std::string> trees;
  for (const std::string& tree : keptTrees) trees.push_back(realPath(tree));
  for (const std::string& directory : directories) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    const std::vector<KeptTree> kept = openTreesBelow(realPath(directory), trees);
    if (::mount(source.c_str(), directory.c_str(), "tmpfs", 0, "mode=0755") != 0) {
      const std::string failure = errnoText("mounting a tmpfs over " + directory);
      closeAll(kept);
      unmountAll();
      throw std::runtime_error(failure);
    }
    mounted_.push_back(directory);
    const std::string failure = bindBack(kept);
    if (!failure.empty()) {
      unmountAll();
      throw std::runtime_error(failure);
    }
  }
}

PrivateDirectories::~PrivateDirectories() { unmountAll(); }

void PrivateDirectories::unmountAll() noexcept {
  for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  mounted_.clear();
}

}  // namespace norvane::sandbox
