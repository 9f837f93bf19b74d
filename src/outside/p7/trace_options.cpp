// Reads the logger's option string.
#include "trace_options.h"

#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

namespace P7 {

namespace {

constexpr std::string_view kPrefix = "/P7.";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// An option starts at "/P7." at the start of the string or after a blank. Values may hold
// blanks themselves (the directory carries the invocation name verbatim), so a value runs
// up to the next option, not to the next blank.
std::vector<std::string_view> splitOptions(std::string_view text) {
  std::vector<size_t> starts;
  for (size_t pos = text.find(kPrefix); pos != std::string_view::npos;
       pos = text.find(kPrefix, pos + 1)) {
    if (pos == 0 || isBlank(text[pos - 1])) starts.push_back(pos);
  }
  std::vector<std::string_view> result;
  for (size_t i = 0; i < starts.size(); ++i) {
    size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
    std::string_view item = text.substr(starts[i] + kPrefix.size(), end - starts[i] - kPrefix.size());
    while (!item.empty() && isBlank(item.back())) item.remove_suffix(1);
    result.push_back(item);
  }
  return result;
}

template <class Int>
bool parseWhole(std::string_view text, Int& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

// "24hr": a period in whole hours.
void applyRoll(std::string_view value, TraceOptions& options) {
  constexpr std::string_view kHours = "hr";
  if (value.size() <= kHours.size() || !value.ends_with(kHours)) return;
  uint32_t hours = 0;
  if (parseWhole(value.substr(0, value.size() - kHours.size()), hours) && hours > 0) {
    options.rollPeriod = std::chrono::hours(hours);
  }
}

// MiB as a plain decimal number ("10", "0.5"): a fraction lets small files be asked for.
// Parsed by hand: floating-point from_chars would pull the maths library into the binary.
std::optional<uint64_t> mebibytesAsBytes(std::string_view value) {
  constexpr uint64_t kBytesPerMiB = uint64_t{1024} * 1024;
  constexpr size_t kMaxFractionDigits = 12;  // keeps fraction * kBytesPerMiB within 64 bits
  const size_t point = value.find('.');
  const std::string_view whole = value.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : value.substr(point + 1);
  if ((whole.empty() && fraction.empty()) || fraction.size() > kMaxFractionDigits) {
    return std::nullopt;
  }
  uint64_t mib = 0;
  uint64_t fractionValue = 0;
  if ((!whole.empty() && !parseWhole(whole, mib)) ||
      (!fraction.empty() && !parseWhole(fraction, fractionValue)) || mib > kBytesPerMiB) {
    return std::nullopt;
  }
  uint64_t scale = 1;
  for (size_t i = 0; i < fraction.size(); ++i) scale *= 10;
  const uint64_t bytes = mib * kBytesPerMiB + (fractionValue * kBytesPerMiB + scale - 1) / scale;
  if (bytes == 0 || bytes > kBytesPerMiB * kBytesPerMiB) return std::nullopt;
  return bytes;
}

void applyFileSize(std::string_view value, TraceOptions& options) {
  if (const std::optional<uint64_t> bytes = mebibytesAsBytes(value)) {
    options.maxFileBytes = *bytes;
  }
}

void apply(std::string_view key, std::string_view value, TraceOptions& options) {
  if (key == "Sink") {
    if (value == "FileTxt") {
      options.sink = SinkKind::kFileTxt;
    } else if (value == "Null") {
      options.sink = SinkKind::kNull;
    } else if (value == "Console") {
      options.sink = SinkKind::kStderr;
    }
  } else if (key == "Dir") {
    if (!value.empty()) options.dir = std::string(value);
  } else if (key == "Roll") {
    applyRoll(value, options);
  } else if (key == "FSize") {
    applyFileSize(value, options);
  } else if (key == "Files") {
    unsigned files = 0;
    if (parseWhole(value, files)) options.maxFiles = files;
  } else if (key == "Trc.Verb") {
    int level = 0;
    if (parseWhole(value, level) && level >= 0 && level <= 5) options.verbosity = level;
  }
}

}  // namespace

TraceOptions parseTraceOptions(const std::string& options) {
  TraceOptions result;
  for (std::string_view item : splitOptions(options)) {
    size_t equals = item.find('=');
    if (equals == std::string_view::npos) continue;
    apply(item.substr(0, equals), item.substr(equals + 1), result);
  }
  return result;
}

}  // namespace P7
