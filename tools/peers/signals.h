// Waiting for SIGINT/SIGTERM in the tools, so they stop cleanly and disconnect.
#pragma once

#include <chrono>

namespace norvane::peers {

// Blocks SIGINT and SIGTERM in the calling thread and every thread started after it.
void blockStopSignals();

// Waits up to timeout (forever when zero) for SIGINT or SIGTERM; true when one came.
bool waitForStopSignal(std::chrono::milliseconds timeout);

}  // namespace norvane::peers
