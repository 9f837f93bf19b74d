#include "file_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include <fmt/format.h>

namespace kavrion {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

std::optional<std::string> readFileText(const std::string& path, int openFlags) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | openFlags));
  if (!file.valid()) return std::nullopt;
  return readDescriptorText(file.get(), path);
}

std::string readDescriptorText(int fd, const std::string& path) {
  std::string text;
  char buffer[4096];
  while (true) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
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
