// The cached configuration file: a candidate configuration read from disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace kavrion {

struct config_snapshot_t {
  std::string content;    // the text exactly as received or read
  int64_t timestamp = 0;  // "created_at_ts", else the time the text was read
  bool valid = false;
};

// A JSON number (signed, unsigned or floating, the latter truncated toward zero) that fits
// a signed 64-bit integer; nothing for any other value, NaN and 1e300 included.
std::optional<int64_t> numberAsInt64(const nlohmann::json& value);

namespace config_persistence {

inline constexpr const char* kCacheDirectory = "/var/lib/kavrion/";
inline constexpr const char* kCacheFileName = "configuration_cache.json";

// Never throws; every failure gives the invalid snapshot and one record.
config_snapshot_t load(const std::string& directory = kCacheDirectory,
                       const std::string& fileName = kCacheFileName);

// "created_at_ts" of an object document when it is a number that fits a signed 64-bit
// integer (floating values truncated toward zero), else fallback. Never throws.
int64_t getTimestamp(const nlohmann::json& document, int64_t fallback);

}  // namespace config_persistence
}  // namespace kavrion
