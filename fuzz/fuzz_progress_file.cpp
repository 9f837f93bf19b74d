// The progress file as found on disk at start: whatever getTime returns must be a document
// the collection loop can walk without failing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "config_persistence.h"
#include "fuzz_support.h"
#include "progress_store.h"

namespace {

using norvane::fuzz::violated;

constexpr int64_t kNow = 1765152000;

const norvane::ProgressLocation& location() {
  static const norvane::ProgressLocation where = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/norvane-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) violated("mkdtemp");
    return norvane::ProgressLocation{pattern + "/", "timestamp"};
  }();
  return where;
}

bool fitsInt64(const nlohmann::json& value) { return kavrion::numberAsInt64(value).has_value(); }

// Ends are kept as found; a current interval is within the loop's reach of the clock.
void checkDocument(const nlohmann::json& document) {
  if (!document.is_object()) violated("the document is not an object");
  const auto found = document.find("intervals");
  if (found == document.end() || !found->is_array() || found->empty()) {
    violated("no intervals");
  }
  for (const auto& interval : *found) {
    if (!interval.is_object() || !interval.contains("a") || !fitsInt64(interval["a"])) {
      violated("an interval without a usable start");
    }
    if (interval.contains("b")) {
      if (!fitsInt64(interval["b"])) violated("an interval with an unusable end");
      continue;
    }
    const int64_t start = *kavrion::numberAsInt64(interval["a"]);
    if (start < kNow - 240 || start > kNow + 120) violated("a current interval far from now");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  norvane::fuzz::installHarness();
  const auto& where = location();
  {
    std::ofstream out(where.directory + where.fileName, std::ios::trunc | std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const auto document = norvane::getTime(where, [] { return kNow; });
  checkDocument(document);
  // What was saved as the fresh document must read back as a usable one.
  checkDocument(norvane::getTime(where, [] { return kNow; }));
  return 0;
}
