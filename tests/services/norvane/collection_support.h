// Shared pieces of the history, response and collection step tests: configured entries,
// captured records and a throwing exit routine.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "io_info.h"
#include "exit_trap.h"
#include "p7_trace.h"
#include "record_log.h"

namespace norvane::collection {

inline std::unique_ptr<kavrion::IoInfo> makeEntry(const std::string& device,
                                                  std::vector<std::string> cells,
                                                  const std::string& pingTopic = "",
                                                  const std::string& type = "meter_electricity") {
  auto io = std::make_unique<kavrion::IoInfo>();
  io->deviceName = device;
  io->type = type;
  io->pingTopic = pingTopic;
  for (const std::string& cell : cells) {
    io->cellByTopic[cell] = cell;
  }
  io->cells = std::move(cells);
  return io;
}

using testing::ExitTrap;
using testing::ServiceExit;
using testing::Record;
using testing::RecordLog;

}  // namespace norvane::collection
