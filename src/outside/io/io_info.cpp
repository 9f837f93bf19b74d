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

namespace {

constexpr const char* kFigureArrays[] = {"max", "avg", "min"};

// Checked before anything is appended, so that a cell of the wrong shape raises with the
// message data unchanged: the same errors the appends themselves would raise.
void requireAppendable(const nlohmann::json& cell) {
  if (cell.is_null()) return;
  if (!cell.is_object()) {
    throw nlohmann::json::type_error::create(
        305, fmt::format("cannot use operator[] with a string argument with {}", cell.type_name()),
        &cell);
  }
  for (const char* name : kFigureArrays) {
    const auto figures = cell.find(name);
    if (figures != cell.end() && !figures->is_null() && !figures->is_array()) {
      throw nlohmann::json::type_error::create(
          308, fmt::format("cannot use push_back() with {}", figures->type_name()), &*figures);
    }
  }
}

}  // namespace

void IoInfo::processValue(nlohmann::json& data, const std::string& topic, double avg, double max,
                          double min) const {
  const auto found = cellByTopic.find(topic);
  if (found == cellByTopic.end()) {
    throw std::runtime_error(fmt::format("Key by topic \"{}\" not found!", topic));
  }
  const std::string& cell = found->second;
  const auto existing = data.find(cell);
  if (existing != data.end()) requireAppendable(*existing);
  // Appended in place: a reply of many rows for one cell costs time linear in its rows. A
  // "data" that is no object raises here, before anything is stored.
  nlohmann::json& value = data[cell];
  value["max"].push_back(nlohmann::json(postprocessingValue(cell, topic, max)));
  value["avg"].push_back(nlohmann::json(postprocessingValue(cell, topic, avg)));
  value["min"].push_back(nlohmann::json(postprocessingValue(cell, topic, min)));
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
