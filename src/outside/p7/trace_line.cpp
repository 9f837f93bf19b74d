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

// The escape of one byte, or an empty view for a byte written as it is.
std::string_view escapeOf(char c, char (&buffer)[4]) {
  const auto byte = static_cast<unsigned char>(c);
  if (c == '\n') return "\\n";
  if (c == '\r') return "\\r";
  if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
    fmt::format_to_n(buffer, sizeof buffer, "\\x{:02x}", static_cast<unsigned>(byte));
    return {buffer, sizeof buffer};
  }
  return {};
}

// From the back, within the text's own buffer: a long record (a whole meter message) is
// never held twice.
void escapeInPlace(std::string& text) {
  char buffer[4];
  size_t extra = 0;
  for (char c : text) {
    const size_t size = escapeOf(c, buffer).size();
    if (size > 0) extra += size - 1;
  }
  if (extra == 0) return;
  size_t from = text.size();
  text.resize(text.size() + extra);
  size_t to = text.size();
  while (from > 0) {
    const char c = text[--from];
    const std::string_view escape = escapeOf(c, buffer);
    if (escape.empty()) {
      text[--to] = c;
    } else {
      to -= escape.size();
      text.replace(to, escape.size(), escape);
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
                            std::string message) {
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

  const std::string head = fmt::format("{}.{:03} {:<8} [{}] {}:{} {}: ",
                                       std::string_view(stamp, stampLength), millis,
                                       levelName(level), threadId, baseName(file), line, function);
  escapeInPlace(message);
  message.insert(0, head);
  message += '\n';
  return message;
}

}  // namespace P7
