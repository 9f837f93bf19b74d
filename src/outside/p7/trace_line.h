// The text of one log line.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace P7 {

// "TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"; "LEVEL<n>" for anything else.
std::string levelName(int level);

// "2025-12-08 00:00:00.123 INFO     [4711] main.cpp:42 main: Version 1.0\n" (UTC).
// The message stays as given (UTF-8, tabs) except line breaks and other control
// characters, which are written as escapes so that one record is always one line.
// The line is made in the message's own buffer: give it room (kLineHeadroom) to spare a copy.
std::string formatTraceLine(std::chrono::system_clock::time_point time, int level, long threadId,
                            std::string_view file, int line, std::string_view function,
                            std::string message);

// Room for the line's head and a few escapes beyond a message's own length.
inline constexpr size_t kLineHeadroom = 256;

}  // namespace P7
