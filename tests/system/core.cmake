# Start-up of the real binary: configuration sources, log, early exits, progress file.
norvane_add_test(core_system_tests
  SOURCES test_core_system.cpp
  LIBS namespace_harness nlohmann_json::nlohmann_json
  LABELS system
  TIMEOUT 120)
