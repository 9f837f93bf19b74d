// Turns the process exits of the service into an exception while it lives.
#pragma once

#include "service_state.h"

namespace norvane::testing {

// Thrown instead of ending the process; not a std::exception, so that no catch of the
// service mistakes it for an error.
struct ServiceExit {
  int status;
};

class ExitTrap {
 public:
  ExitTrap() : previous_(setExitHandler([](int status) { throw ServiceExit{status}; })) {}
  ~ExitTrap() { setExitHandler(previous_); }
  ExitTrap(const ExitTrap&) = delete;
  ExitTrap& operator=(const ExitTrap&) = delete;

 private:
  ExitHandler previous_;
};

}  // namespace norvane::testing
