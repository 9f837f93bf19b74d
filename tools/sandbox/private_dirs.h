// Private namespaces and directories for running norvane and its peers beside a host that
// must not be touched: a mount + network namespace with its own loopback, and empty
// directories over the places the service writes to that keep given trees visible.
#pragma once

#include <string>
#include <vector>

namespace norvane::sandbox {

// Moves the calling thread into new mount and network namespaces, keeps its mounts from
// propagating back to the host and brings the new loopback interface up. Namespaces belong
// to threads: call it while the process has a single thread. Throws std::runtime_error
// naming the step that failed.
void enterPrivateNamespaces();

// Empty tmpfs mounts over the given directories, unmounted on destruction. A kept tree (a
// checkout or build directory) below one of them stays visible at its old path, so a
// project cloned into /tmp can still run its binaries and read its files.
class PrivateDirectories {
 public:
  // @p source names the tmpfs mounts in the mount table. Throws std::runtime_error naming
  // the directory that could not be covered or the tree that could not be kept; what was
  // mounted until then is unmounted again.
  PrivateDirectories(const std::vector<std::string>& directories,
                     const std::vector<std::string>& keptTrees, const std::string& source);
  ~PrivateDirectories();
  PrivateDirectories(const PrivateDirectories&) = delete;
  PrivateDirectories& operator=(const PrivateDirectories&) = delete;

 private:
  void unmountAll() noexcept;
  std::vector<std::string> mounted_;
};

}  // namespace norvane::sandbox
