# The real binary end to end, with simulated devices and the history stand-in.
norvane_add_test(endtoend_system_tests
  SOURCES test_endtoend_system.cpp
  LIBS namespace_harness kavrion::peers nlohmann_json::nlohmann_json norvane_fmt
  LABELS system
  TIMEOUT 300)
