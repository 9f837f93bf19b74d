// Plausible readings of an electricity or water meter, so a demonstration looks like a
// real controller: mains voltage, a load that varies, counters that only grow.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane::peers {

enum class Quantity { kVoltage, kCurrent, kPower, kEnergy, kFrequency, kVolume, kOther };

// What a control measures, guessed from its name as meters usually name their controls
// ("U L1", "Current", "P", "Total AP energy", "Frequency", "V"); kOther when nothing fits.
Quantity quantityOf(std::string_view control);

// The reading of the control at second t, deterministic in (device, control, t): voltage
// around 230 V, current 2 to 12 A, power about their product in W, frequency around 50 Hz,
// energy (kWh) and volume (m³) counters that grow with t. Other controls follow the
// saw-tooth series. Rounded to two decimals for voltage, current, power and frequency,
// to three for the counters.
double meterValue(std::string_view device, std::string_view control, int64_t t);

// The shortest text that reads back as the same reading.
std::string formatReading(double value);

}  // namespace norvane::peers
