// The service's start-up: main MQTT client, configuration, I/O map, availability threads.
#pragma once

#include <fmt/format.h>

#include <string>

#include "collection_loop.h"
#include "p7_trace.h"

namespace norvane {

// Argument 0 as the process was invoked; "norvane" when there is none.
inline std::string invocationName(int argc, const char* const* argv) {
  if (argc < 1 || argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') return "norvane";
  return argv[0];
}

// The logging options; the invocation name goes into the directory verbatim, slashes included.
inline std::string loggerOptions(const std::string& name) {
  return fmt::vformat(
      "/P7.Sink=FileTxt /P7.Dir=/var/log/p7/{} /P7.Roll=24hr /P7.Files=3 /P7.FSize=10 "
      "/P7.Trc.Verb=2",
      fmt::make_format_args(name));
}

// Records the version, then runs start-up up to the collection loop, which it returns wired
// to the real step. Ends the process on the start-up exits (statuses 0, 1 and 4).
CollectionLoop startService(P7::TraceObject* trace);

}  // namespace norvane
