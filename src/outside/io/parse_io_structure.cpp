// Builds the I/O map from the configuration document, checking every name that ends up in
// a subscription.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "io_info.h"
#include "p7_trace.h"

namespace kavrion {

// A template's fields as parsed once; an entry's own fields win over them.
struct TemplateCacheEntry {
  std::optional<std::string> type;
  std::optional<int32_t> kind;
  std::optional<std::vector<std::string>> cells;
};

namespace {

using json = nlohmann::json;
using TemplateRef = std::shared_ptr<const TemplateCacheEntry>;

// The subject of an error text: `IO entry "m1"` or `template "meter"`.
[[noreturn]] void fail(const std::string& subject, std::string_view problem) {
  throw std::runtime_error(fmt::format("{}: {}", subject, problem));
}

// Names that become parts of topics: a wildcard or a NUL would subscribe to something else.
bool isTopicSafe(const std::string& name) {
  return name.find_first_of(std::string_view("+#\0", 3)) == std::string::npos;
}

const json& memberOrNull(const json& object, const char* key) {
  static const json null;
  const auto found = object.find(key);
  return found == object.end() ? null : *found;
}

std::string requireName(const json& value, const std::string& subject, const char* field) {
  if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
    fail(subject, fmt::format("\"{}\" must be a non-empty string", field));
  }
  const std::string& name = value.get_ref<const std::string&>();
  if (!isTopicSafe(name)) {
    fail(subject, fmt::format("\"{}\" must not contain \"+\", \"#\" or NUL", field));
  }
  return name;
}

std::string readType(const json& value, const std::string& subject) {
  if (!value.is_string()) fail(subject, "\"type\" must be a string");
  return value.get<std::string>();
}

int32_t readKind(const json& value, const std::string& subject) {
  constexpr auto kMin = std::numeric_limits<int32_t>::min();
  constexpr auto kMax = std::numeric_limits<int32_t>::max();
  bool fits = false;
  if (value.is_number_unsigned()) {
    fits = value.get<uint64_t>() <= static_cast<uint64_t>(kMax);
  } else if (value.is_number_integer()) {
    const auto number = value.get<int64_t>();
    fits = number >= kMin && number <= kMax;
  }
  if (!fits) {
    fail(subject, fmt::format("\"kind\" must be an integer from {} to {}", kMin, kMax));
  }
  return static_cast<int32_t>(value.get<int64_t>());
}

std::vector<std::string> readCells(const json& value, const std::string& subject) {
  if (!value.is_array() ||
      !std::all_of(value.begin(), value.end(), [](const json& cell) { return cell.is_string(); })) {
    fail(subject, "\"cells\" must be an array of strings");
  }
  std::vector<std::string> cells;
  cells.reserve(value.size());
  for (const json& item : value) {
    const std::string& cell = item.get_ref<const std::string&>();
    if (cell.empty()) fail(subject, "\"cells\" must not hold an empty name");
    if (!isTopicSafe(cell)) {
      fail(subject, fmt::format("cell \"{}\" must not contain \"+\", \"#\" or NUL", cell));
    }
    cells.push_back(cell);
  }
  std::sort(cells.begin(), cells.end());
  const auto repeated = std::adjacent_find(cells.begin(), cells.end());
  if (repeated != cells.end()) fail(subject, fmt::format("cell \"{}\" is listed twice", *repeated));
  return cells;
}

TemplateRef parseTemplate(const json& value, const std::string& subject) {
  if (!value.is_object()) fail(subject, "must be an object");
  auto entry = std::make_shared<TemplateCacheEntry>();
  if (const auto found = value.find("type"); found != value.end()) {
    entry->type = readType(*found, subject);
  }
  if (const auto found = value.find("kind"); found != value.end()) {
    entry->kind = readKind(*found, subject);
  }
  if (const auto found = value.find("cells"); found != value.end()) {
    entry->cells = readCells(*found, subject);
  }
  return entry;
}

// Identical templates, also of different names or documents, share one cache entry.
std::string cacheKey(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

TemplateRef cachedTemplate(const json& value, const std::string& subject) {
  const std::string key = cacheKey(value);
  {
    std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
    auto& cache = detail::templateCacheStorage();
    if (const auto found = cache.find(key); found != cache.end() && found->second) {
      return found->second;
    }
  }
  TemplateRef parsed = parseTemplate(value, subject);
  {
    std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
    detail::templateCacheStorage()[key] = parsed;
  }
  return parsed;
}

struct Templates {
  std::unordered_map<std::string, TemplateRef> valid;
  std::unordered_map<std::string, std::string> invalid;  // name -> why
};

void warnSkipped(const std::exception& error) {
  NV_TRACE(P7::getTrace(), P7::kWarning, "IO configuration: skipped: %s",
           P7::excerpt(error.what()).c_str());
}

Templates readTemplates(const json& document, bool strict) {
  Templates templates;
  const auto found = document.find("templates");
  if (found == document.end()) return templates;
  if (!found->is_object()) throw std::runtime_error("\"templates\" must be an object");
  for (const auto& [name, value] : found->items()) {
    const std::string subject = fmt::format("template \"{}\"", name);
    try {
      templates.valid.emplace(name, cachedTemplate(value, subject));
    } catch (const std::runtime_error& error) {
      if (strict) throw;
      warnSkipped(error);
      templates.invalid.emplace(name, error.what());
    }
  }
  return templates;
}

std::string entrySubject(const json& entry, size_t index) {
  if (entry.is_object()) {
    const auto id = entry.find("id");
    if (id != entry.end() && id->is_string() && !id->get_ref<const std::string&>().empty()) {
      return fmt::format("IO entry \"{}\"", id->get_ref<const std::string&>());
    }
  }
  return fmt::format("IO entry at index {}", index);
}

template <class T>
std::unique_ptr<T> parseEntry(const json& entry, const std::string& subject,
                              const Templates& templates) {
  if (!entry.is_object()) fail(subject, "must be an object");
  const json& id = memberOrNull(entry, "id");
  if (!id.is_string() || id.get_ref<const std::string&>().empty()) {
    fail(subject, "\"id\" must be a non-empty string");
  }

  TemplateRef base;
  if (const auto found = entry.find("template"); found != entry.end()) {
    if (!found->is_string()) fail(subject, "\"template\" must be a string");
    const std::string& name = found->get_ref<const std::string&>();
    if (const auto bad = templates.invalid.find(name); bad != templates.invalid.end()) {
      fail(subject, fmt::format("template \"{}\" is invalid", name));
    }
    const auto known = templates.valid.find(name);
    if (known == templates.valid.end()) fail(subject, fmt::format("unknown template \"{}\"", name));
    base = known->second;
  }

  auto io = std::make_unique<T>();
  io->deviceName = requireName(memberOrNull(entry, "device"), subject, "device");

  if (const auto found = entry.find("type"); found != entry.end()) {
    io->type = readType(*found, subject);
  } else if (base && base->type) {
    io->type = *base->type;
  } else {
    fail(subject, "\"type\" is required (from the entry or its template)");
  }

  if (const auto found = entry.find("kind"); found != entry.end()) {
    io->kind = readKind(*found, subject);
  } else if (base && base->kind) {
    io->kind = *base->kind;
  }

  if (const auto found = entry.find("ping"); found != entry.end()) {
    if (!found->is_string()) fail(subject, "\"ping\" must be a string");
    const std::string& ping = found->get_ref<const std::string&>();
    // Empty means no ping topic, as when the member is absent: the device always counts
    // as available.
    if (!ping.empty() && !ping.starts_with('/')) fail(subject, "\"ping\" must start with \"/\"");
    if (!isTopicSafe(ping)) fail(subject, "\"ping\" must not contain \"+\", \"#\" or NUL");
    io->pingTopic = ping;
  }

  if (const auto found = entry.find("cells"); found != entry.end()) {
    io->cells = readCells(*found, subject);
  } else if (base && base->cells) {
    io->cells = *base->cells;
  } else {
    fail(subject, "\"cells\" is required (from the entry or its template)");
  }
  for (const std::string& cell : io->cells) io->cellByTopic.emplace(cell, cell);
  return io;
}

const json* ioEntries(const json& document) {
  const auto found = document.find("io");
  if (found == document.end()) return nullptr;
  if (!found->is_array()) throw std::runtime_error("\"io\" must be an array");
  return &*found;
}

}  // namespace

template <class T>
IoMapOf<T> parseIoStructure(const nlohmann::json& document, TemplateCacheCleanupGuard& /*guard*/,
                            bool strict) {
  static_assert(std::is_base_of_v<IoInfo, T>, "an I/O map holds IoInfo entries");
  if (!document.is_object()) throw std::runtime_error("configuration must be a JSON object");
  const json* entries = ioEntries(document);
  const Templates templates = readTemplates(document, strict);

  IoMapOf<T> result;
  if (entries == nullptr) return result;
  for (size_t index = 0; index < entries->size(); ++index) {
    const json& entry = (*entries)[index];
    const std::string subject = entrySubject(entry, index);
    try {
      auto io = parseEntry<T>(entry, subject, templates);
      const std::string& id = memberOrNull(entry, "id").get_ref<const std::string&>();
      if (!result.emplace(id, std::move(io)).second) fail(subject, "duplicate id");
    } catch (const std::runtime_error& error) {
      if (strict) throw;
      warnSkipped(error);
    }
  }
  return result;
}

template IoMapOf<IoInfo> parseIoStructure<IoInfo>(const nlohmann::json&,
                                                  TemplateCacheCleanupGuard&, bool);

}  // namespace kavrion
