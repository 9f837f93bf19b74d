// Plausible readings of an electricity or water meter.
#include "peers/meter_values.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <string>

#include <fmt/format.h>

#include "peers/series.h"

namespace norvane::peers {
namespace {

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool startsWithWord(const std::string& lower, std::string_view word) {
  if (lower.rfind(word, 0) != 0) return false;
  return lower.size() == word.size() || !std::isalpha(static_cast<unsigned char>(lower[word.size()]));
}

// A phase per channel, so the meters of a demonstration do not move in step.
double phaseOf(std::string_view device, std::string_view control) {
  return seriesValue(device, control, 0) / 17.0;
}

double wave(double periodSeconds, int64_t t, double phase) {
  return std::sin(2.0 * std::numbers::pi * static_cast<double>(t) / periodSeconds + phase);
}

double roundTo(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

// Seconds since a fixed day, so counters read like a meter installed some years ago.
double secondsInService(int64_t t) { return static_cast<double>(t - 1600000000); }

double current(std::string_view device, std::string_view control, int64_t t) {
  const double phase = phaseOf(device, control);
  return 7.0 + 4.0 * wave(900.0, t, phase) + 0.6 * wave(37.0, t, 2.0 * phase);
}

}  // namespace

Quantity quantityOf(std::string_view control) {
  const std::string lower = lowerCase(control);
  if (lower.find("energy") != std::string::npos || lower.find("kwh") != std::string::npos ||
      startsWithWord(lower, "ap") || startsWithWord(lower, "e") || startsWithWord(lower, "a+")) {
    return Quantity::kEnergy;
  }
  if (lower.find("volt") != std::string::npos || startsWithWord(lower, "u")) {
    return Quantity::kVoltage;
  }
  if (lower.find("current") != std::string::npos || startsWithWord(lower, "i")) {
    return Quantity::kCurrent;
  }
  if (lower.find("power") != std::string::npos || startsWithWord(lower, "p")) {
    return Quantity::kPower;
  }
  if (lower.find("freq") != std::string::npos || startsWithWord(lower, "f")) {
    return Quantity::kFrequency;
  }
  if (lower.find("volume") != std::string::npos || startsWithWord(lower, "v")) {
    return Quantity::kVolume;
  }
  return Quantity::kOther;
}

double meterValue(std::string_view device, std::string_view control, int64_t t) {
  const double phase = phaseOf(device, control);
  switch (quantityOf(control)) {
    case Quantity::kVoltage:
      return roundTo(230.0 + 3.0 * wave(600.0, t, phase) + 0.4 * wave(23.0, t, phase), 2);
    case Quantity::kCurrent:
      return roundTo(current(device, control, t), 2);
    case Quantity::kPower:
      return roundTo(230.0 * current(device, control, t), 2);
    case Quantity::kFrequency:
      return roundTo(50.0 + 0.03 * wave(300.0, t, phase), 2);
    case Quantity::kEnergy:
      // About 1.6 kW on average; grows every second.
      return roundTo(1000.0 + phase * 100.0 + secondsInService(t) * 1.6 / 3600.0, 3);
    case Quantity::kVolume:
      return roundTo(100.0 + phase * 10.0 + secondsInService(t) * 0.3 / 86400.0, 3);
    case Quantity::kOther:
      break;
  }
  return seriesValue(device, control, t);
}

std::string formatReading(double value) { return fmt::format("{}", value); }

}  // namespace norvane::peers
