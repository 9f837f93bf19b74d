// Formats one log line.
#include "trace_line.h"

#include <ctime>

#include <fmt/format.h>

namespace P7 {

namespace {

std::string_view baseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void appendEscaped(std::string& out, std::string_view message) {
  for (char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned>(byte));
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string levelName(int level) {
  switch (level) {
    case 0: return "TRACE";
    case 1: return "DEBUG";
    case 2: return "INFO";
    case 3: return "WARNING";
    case 4: return "ERROR";
    case 5: return "CRITICAL";
    default: return fmt::format("LEVEL{}", level);
  }
}

std::string formatTraceLine(std::chrono::system_clock::time_point time, int level, long threadId,
                            std::string_view file, int line, std::string_view function,
                            std::string_view message) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto sinceEpoch = duration_cast<milliseconds>(time.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(sinceEpoch / 1000);
  long millis = static_cast<long>(sinceEpoch % 1000);
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char stamp[32];
  size_t stampLength = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);

  std::string out;
  out.reserve(96 + file.size() + function.size() + message.size());
  fmt::format_to(std::back_inserter(out), "{}.{:03} {:<8} [{}] {}:{} {}: ",
                 std::string_view(stamp, stampLength), millis, levelName(level), threadId,
                 baseName(file), line, function);
  appendEscaped(out, message);
  out += '\n';
  return out;
}

}  // namespace P7
