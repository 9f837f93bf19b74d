// Live messages on the bus as the cache thread receives them: lines of "<topic>\t<payload>"
// ("retained\t" before the topic marks a replayed one). Every stored range must hold its value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "availability_cache.h"
#include "control_topic.h"
#include "fuzz_support.h"
#include "service_state.h"

namespace {

using norvane::fuzz::violated;

kavrion::mosquitto::msg_t messageOf(std::string_view line) {
  kavrion::mosquitto::msg_t message;
  constexpr std::string_view kRetained = "retained\t";
  if (line.substr(0, kRetained.size()) == kRetained) {
    message.retained = 1;
    line.remove_prefix(kRetained.size());
  }
  const auto tab = line.find('\t');
  message.topic = std::string(line.substr(0, tab));
  if (tab != std::string_view::npos) {
    const auto payload = line.substr(tab + 1);
    message.payload.assign(payload.begin(), payload.end());
  }
  return message;
}

void checkRecord(const std::string& key) {
  const auto record = norvane::readCacheRecord(key);
  if (!record || std::isnan(record->value)) return;
  if (!(record->min <= record->value && record->value <= record->max)) {
    violated("a cached range that does not hold its value");
  }
  // The read closes the range on the value.
  const auto again = norvane::readCacheRecord(key);
  if (!again || again->min != record->value || again->max != record->value) {
    violated("the read did not close the range");
  }
}

void clearCache() {
  std::lock_guard<std::mutex> lock(norvane::m_mutex_cache);
  norvane::m_cache.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  norvane::fuzz::installHarness();
  norvane::m_timeout_s = 1800;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Near the limit, so that floods of unusable messages reach the exit.
  norvane::CacheUpdater updater(95);
  std::vector<std::string> keys;
  size_t start = 0;
  while (start <= input.size()) {
    const auto end = std::min(input.find('\n', start), input.size());
    const auto message = messageOf(input.substr(start, end - start));
    start = end + 1;
    if (const auto status = updater.handle(message)) {
      if (*status != norvane::kExitBadPayloads) violated("an unexpected exit status");
      break;
    }
    if (const auto topic = norvane::matchControlTopic(message.topic)) {
      keys.push_back(std::string(topic->device) + "." + std::string(topic->control));
    }
  }
  try {
    for (const auto& key : keys) checkRecord(key);
  } catch (const norvane::fuzz::ServiceExit&) {
    violated("a fresh cache was taken for stale");
  }
  clearCache();
  return 0;
}
