// Whole small files read with plain system calls: the service's binary carries no stream
// library, whose locale machinery alone would cost more memory than the files it reads.
#pragma once

#include <optional>
#include <string>

namespace kavrion {

// The whole file, or nothing when it cannot be opened. openFlags are added to
// O_RDONLY | O_CLOEXEC (O_NOFOLLOW, say). Throws std::runtime_error
// "Cannot read <path> errno: <n>" when reading fails after the file was opened.
std::optional<std::string> readFileText(const std::string& path, int openFlags = 0);

}  // namespace kavrion
