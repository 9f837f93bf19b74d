// The logger's option string ("/P7.Sink=FileTxt /P7.Dir=... ...") read into settings.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace P7 {

enum class SinkKind { kStderr, kFileTxt, kNull };

struct TraceOptions {
  SinkKind sink = SinkKind::kStderr;
  std::string dir = ".";
  std::chrono::seconds rollPeriod{0};  // 0: no time-based roll
  uint64_t maxFileBytes = 0;           // 0: no size-based roll
  unsigned maxFiles = 0;               // 0: keep every file
  int verbosity = 0;                   // records below this level are dropped
};

// Unknown options and malformed values are ignored (the default stays): a logger must come
// up whatever it is handed. Never throws except std::bad_alloc.
TraceOptions parseTraceOptions(const std::string& options);

}  // namespace P7
