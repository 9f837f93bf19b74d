// Deterministic value series of simulated channels, and the figures of a window over them.
#include "peers/series.h"

#include <algorithm>

#include <fmt/format.h>

namespace norvane::peers {
namespace {

constexpr int64_t kPeriodSeconds = 120;
// Levels the saw tooth steps through before it starts again (a day and a bit).
constexpr int64_t kLevels = 733;

// FNV-1a: stable across runs and platforms, unlike std::hash.
uint32_t channelHash(std::string_view device, std::string_view control) {
  uint32_t hash = 2166136261U;
  auto mix = [&hash](std::string_view text) {
    for (const char c : text) {
      hash ^= static_cast<uint8_t>(c);
      hash *= 16777619U;
    }
  };
  mix(device);
  mix(".");
  mix(control);
  return hash;
}

int64_t floorMod(int64_t value, int64_t divisor) {
  const int64_t rest = value % divisor;
  return rest < 0 ? rest + divisor : rest;
}

}  // namespace

double seriesValue(std::string_view device, std::string_view control, int64_t t) {
  const double base = static_cast<double>(channelHash(device, control) % 1000U) * 0.25;
  // Each saw tooth starts a step higher than the one before, so that two windows of the
  // same length never carry the same figures.
  const int64_t tooth = (t - floorMod(t, kPeriodSeconds)) / kPeriodSeconds;
  const double level = 0.25 * static_cast<double>(floorMod(tooth, kLevels));
  return base + level + 0.5 * static_cast<double>(floorMod(t, kPeriodSeconds));
}

WindowFigures windowFigures(std::string_view device, std::string_view control, int64_t gt,
                            int64_t lt) {
  const double first = seriesValue(device, control, gt);
  WindowFigures figures{first, first, first};
  // A window longer than a period holds every value of the period; capping keeps a silly
  // request cheap.
  const int64_t end = std::min(lt, gt + 10 * kPeriodSeconds);
  double sum = first;
  int64_t count = 1;
  for (int64_t t = gt + 1; t < end; ++t) {
    const double value = seriesValue(device, control, t);
    figures.min = std::min(figures.min, value);
    figures.max = std::max(figures.max, value);
    sum += value;
    ++count;
  }
  figures.average = sum / static_cast<double>(count);
  return figures;
}

std::string formatFigure(double value) {
  return fmt::format("{}", value);
}

}  // namespace norvane::peers
