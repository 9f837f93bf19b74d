# Exits of the real binary driven by the live values.
norvane_add_test(availability_system_tests
  SOURCES test_availability_system.cpp
  LIBS namespace_harness
  LABELS system
  TIMEOUT 480)
