// I/O model: the configured I/O entries (devices with named cells) built from the
// configuration document.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

namespace kavrion {

/// What a device is on the bus.
class DeviceInfo {
 public:
  std::string deviceName;  ///< device part of "/devices/<device>/controls/<control>"
  std::string type;        ///< entry type, copied into meter messages
  int32_t kind = 0;        ///< 1: retained control values must not count as live
};

/// One configured I/O entry: a device with named cells.
class IoInfo : public DeviceInfo {
 public:
  /// Control name -> cell name (the same name).
  std::unordered_map<std::string, std::string> cellByTopic;

  /// @return topic on which the device's error state is published; may be empty.
  std::string getPingTopic() const;
  /// @return the cell names.
  std::unordered_set<std::string> getCells() const;
  /// @return the cell names in ascending byte order.
  std::vector<std::string> getSortedCells() const;

  /// Hook through which every stored value passes. @return @p value unchanged.
  virtual double postprocessingValue(const std::string& cell, const std::string& topic,
                                     double value) const;
  /// Appends max, avg and min of one reply row to the arrays of the cell that @p topic maps
  /// to in @p data (the entry's "data" member).
  /// @throws std::runtime_error `Key by topic "<topic>" not found!` (nothing stored)
  virtual void processValue(nlohmann::json& data, const std::string& topic, double avg,
                            double max, double min) const;
  /// @return how many values each of a cell's arrays must hold: 1.
  virtual int getTargetSize(const std::string& cell, int avgCount) const;
  // Declared after the three operations so that their slot order stays.
  virtual ~IoInfo();

  std::string pingTopic;
  std::vector<std::string> cells;  ///< kept sorted
};

template <class T>
using IoMapOf = std::unordered_map<std::string, std::unique_ptr<T>>;
using IoMap = IoMapOf<IoInfo>;

/// Opaque entry of the template cache.
struct TemplateCacheEntry;

namespace detail {
std::unordered_map<std::string, std::shared_ptr<const TemplateCacheEntry>>& templateCacheStorage();
std::mutex& templateCacheMutex();
}  // namespace detail

/// Clears the template cache when it goes out of scope, and with the trim flag returns
/// the freed memory to the system (malloc_trim).
class TemplateCacheCleanupGuard {
 public:
  explicit TemplateCacheCleanupGuard(bool trim = true) : trim_(trim) {}
  ~TemplateCacheCleanupGuard();
  TemplateCacheCleanupGuard(const TemplateCacheCleanupGuard&) = delete;
  TemplateCacheCleanupGuard& operator=(const TemplateCacheCleanupGuard&) = delete;

 private:
  bool trim_;
};

/// Builds the I/O map from a configuration document.
/// @param strict true: the first bad entry rejects the document; false: bad entries are
///               skipped with a warning.
/// @throws std::runtime_error naming the entry and field, or nlohmann::json exceptions.
template <class T>
IoMapOf<T> parseIoStructure(const nlohmann::json& document, TemplateCacheCleanupGuard& guard,
                            bool strict);

extern template IoMapOf<IoInfo> parseIoStructure<IoInfo>(const nlohmann::json&,
                                                         TemplateCacheCleanupGuard&, bool);

}  // namespace kavrion
