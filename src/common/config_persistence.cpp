// Reads the cached configuration file into a candidate configuration.
#include "config_persistence.h"

#include <fmt/format.h>

#include <ctime>
#include <limits>
#include <stdexcept>

#include "file_text.h"
#include "p7_trace.h"

namespace kavrion {

std::optional<int64_t> numberAsInt64(const nlohmann::json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return value.get<int64_t>();
  }
  if (value.is_number_unsigned()) {
    const auto number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // -2^63 is representable and fits; 2^63 is the first value that does not. NaN fails both.
    constexpr double kLimit = 9223372036854775808.0;
    if (!(number >= -kLimit && number < kLimit)) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  return std::nullopt;
}

namespace config_persistence {

int64_t getTimestamp(const nlohmann::json& document, int64_t fallback) {
  if (!document.is_object()) return fallback;
  const auto member = document.find("created_at_ts");
  if (member == document.end()) return fallback;
  return numberAsInt64(*member).value_or(fallback);
}

config_snapshot_t load(const std::string& directory, const std::string& fileName) {
  config_snapshot_t snapshot;
  const std::string path = fmt::vformat("{}{}", fmt::make_format_args(directory, fileName));
  std::optional<std::string> read;
  try {
    read = readFileText(path);
  } catch (const std::exception& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Failed to load cached configuration: %s",
             P7::excerpt(e.what()).c_str());
    return snapshot;
  }
  if (!read) {
    NV_TRACE(P7::getTrace(), P7::kWarning, "No cached configuration at %s", path.c_str());
    return snapshot;
  }
  std::string text = std::move(*read);
  try {
    if (text.empty()) {
      NV_TRACE(P7::getTrace(), P7::kWarning, "Cached configuration file is empty");
      return snapshot;
    }
    const auto document = nlohmann::json::parse(text, nullptr, true, false);
    const int64_t timestamp = getTimestamp(document, std::time(nullptr));
    snapshot.content = std::move(text);
    snapshot.timestamp = timestamp;
    snapshot.valid = true;
    NV_TRACE(P7::getTrace(), P7::kInfo, "Cached configuration loaded (ts: %ld)",
             static_cast<long>(snapshot.timestamp));
  } catch (const nlohmann::json::exception& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Corrupted cached configuration: %s",
             P7::excerpt(e.what()).c_str());
    return config_snapshot_t{};
  } catch (const std::exception& e) {
    NV_TRACE(P7::getTrace(), P7::kError, "Failed to load cached configuration: %s",
             P7::excerpt(e.what()).c_str());
    return config_snapshot_t{};
  }
  return snapshot;
}

}  // namespace config_persistence
}  // namespace kavrion
