// Deterministic value series of simulated channels, and the figures of a window over them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane::peers {

// The value a channel holds at second t: a per-channel base plus a saw tooth of 0.5 per
// second over two minutes, each tooth 0.25 above the one before (733 levels, then again).
// Every value is a multiple of 0.25, so it prints exactly.
double seriesValue(std::string_view device, std::string_view control, int64_t t);

struct WindowFigures {
  double average;
  double min;
  double max;
};

// Figures of the whole seconds from gt up to lt (exclusive); the value at gt alone when the
// window holds no whole second.
WindowFigures windowFigures(std::string_view device, std::string_view control, int64_t gt,
                            int64_t lt);

// Shortest text that reads back as the same double, as wb-mqtt-db writes its figures.
std::string formatFigure(double value);

}  // namespace norvane::peers
