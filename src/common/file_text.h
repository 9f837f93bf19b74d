// Whole small files read with plain system calls: the service's binary carries no stream
// library, whose locale machinery alone would cost more memory than the files it reads.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace kavrion {

// Owns a file descriptor and closes it on every way out, the throwing one included.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The whole file, or nothing when it cannot be opened. openFlags are added to
// O_RDONLY | O_CLOEXEC (O_NOFOLLOW, say). Throws std::runtime_error
// "Cannot read <path> errno: <n>" when reading fails after the file was opened.
std::optional<std::string> readFileText(const std::string& path, int openFlags = 0);

// The rest of an open file; @p path only names it in the error text above.
std::string readDescriptorText(int fd, const std::string& path);

}  // namespace kavrion
