// What every fuzz target shares: exits as exceptions, records formatted but kept quiet.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "p7_trace.h"
#include "service_state.h"

namespace norvane::fuzz {

// Thrown by the exit routine; not a std::exception, so no catch of the service takes it.
struct ServiceExit {
  int status;
};

// Installed once per process: a service exit becomes a result of the input, not a crash,
// and every record is still formatted (its arguments come from the input) but not printed.
inline void installHarness() {
  static const bool installed = [] {
    setExitHandler([](int status) { throw ServiceExit{status}; });
    static P7::RecordCapture capture([](int, const std::string&) {});
    return true;
  }();
  (void)installed;
}

// A property the service relies on was broken: libFuzzer keeps the input as a crash.
[[noreturn]] inline void violated(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

}  // namespace norvane::fuzz
