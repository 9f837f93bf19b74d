// The configuration document, as it arrives over MQTT or from the cached file: its
// timestamp, and the I/O map built from it strictly (start-up) and leniently.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "config_persistence.h"
#include "fuzz_support.h"
#include "io_info.h"

namespace {

using norvane::fuzz::violated;

// A private directory for the cached-file copy of each input.
const std::string& cacheDirectory() {
  static const std::string directory = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/norvane-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) violated("mkdtemp");
    return pattern + "/";
  }();
  return directory;
}

void loadAsCachedFile(const std::string& text) {
  {
    std::ofstream out(cacheDirectory() + "configuration_cache.json", std::ios::trunc);
    out << text;
  }
  const auto snapshot = kavrion::config_persistence::load(cacheDirectory());
  if (snapshot.valid && snapshot.content != text) violated("the cached text was altered");
}

void checkEntries(const kavrion::IoMap& ioMap) {
  for (const auto& [id, entry] : ioMap) {
    if (entry == nullptr) violated("an entry without an object");
    const auto sorted = entry->getSortedCells();
    if (sorted.size() != entry->getCells().size()) violated("cells and sorted cells differ");
    (void)entry->getPingTopic();
  }
}

void buildIoMap(const nlohmann::json& document, bool strict) {
  try {
    kavrion::TemplateCacheCleanupGuard guard(false);
    checkEntries(kavrion::parseIoStructure<kavrion::IoInfo>(document, guard, strict));
  } catch (const nlohmann::json::exception&) {
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  norvane::fuzz::installHarness();
  const std::string text(reinterpret_cast<const char*>(data), size);
  loadAsCachedFile(text);
  // The service reads both sources without comments and with exceptions.
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text, nullptr, true, false);
  } catch (const nlohmann::json::exception&) {
    return 0;
  }
  (void)kavrion::config_persistence::getTimestamp(document, 42);
  buildIoMap(document, true);
  buildIoMap(document, false);
  return 0;
}
