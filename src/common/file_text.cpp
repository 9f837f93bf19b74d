#include "file_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include <fmt/format.h>

namespace kavrion {
namespace {

// Closes on every way out, the throwing one included.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::optional<std::string> readFileText(const std::string& path, int openFlags) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | openFlags));
  if (file.get() < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (true) {
    const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
    if (count > 0) {
      text.append(buffer, static_cast<size_t>(count));
    } else if (count == 0) {
      return text;
    } else if (errno != EINTR) {
      throw std::runtime_error(fmt::format("Cannot read {} errno: {}", path, errno));
    }
  }
}

}  // namespace kavrion
