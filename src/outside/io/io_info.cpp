// The I/O entry's own operations and the template cache shared with the service.
#include "io_info.h"

#include <malloc.h>

#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

namespace kavrion {

std::string IoInfo::getPingTopic() const { return pingTopic; }

std::unordered_set<std::string> IoInfo::getCells() const {
  return std::unordered_set<std::string>(cells.begin(), cells.end());
}

std::vector<std::string> IoInfo::getSortedCells() const { return cells; }

double IoInfo::postprocessingValue(const std::string& /*cell*/, const std::string& /*topic*/,
                                   double value) const {
  return value;
}

void IoInfo::processValue(nlohmann::json& data, const std::string& topic, double avg, double max,
                          double min) const {
  const auto found = cellByTopic.find(topic);
  if (found == cellByTopic.end()) {
    throw std::runtime_error(fmt::format("Key by topic \"{}\" not found!", topic));
  }
  const std::string& cell = found->second;
  // Built on a copy so that a cell of the wrong shape raises before data is touched.
  nlohmann::json value = data.is_object() && data.contains(cell) ? data.at(cell) : nlohmann::json();
  value["max"].push_back(nlohmann::json(postprocessingValue(cell, topic, max)));
  value["avg"].push_back(nlohmann::json(postprocessingValue(cell, topic, avg)));
  value["min"].push_back(nlohmann::json(postprocessingValue(cell, topic, min)));
  data[cell] = std::move(value);
}

int IoInfo::getTargetSize(const std::string& /*cell*/, int /*avgCount*/) const { return 1; }

IoInfo::~IoInfo() = default;

namespace detail {

std::unordered_map<std::string, std::shared_ptr<const TemplateCacheEntry>>& templateCacheStorage() {
  static std::unordered_map<std::string, std::shared_ptr<const TemplateCacheEntry>> cache;
  return cache;
}

std::mutex& templateCacheMutex() {
  static std::mutex cache_mutex;
  return cache_mutex;
}

}  // namespace detail

TemplateCacheCleanupGuard::~TemplateCacheCleanupGuard() {
  try {
    std::unique_lock<std::mutex> lock(detail::templateCacheMutex());
    detail::templateCacheStorage().clear();
  } catch (const std::system_error&) {
    return;  // the lock could not be taken: leave the cache as it is
  }
  if (trim_) malloc_trim(0);
}

}  // namespace kavrion
