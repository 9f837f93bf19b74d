# The service's threads together, for the thread sanitizer.
norvane_add_test(concurrency_broker_tests
  SOURCES test_concurrency_broker.cpp
  LIBS kavrion::norvane_service test_support
  LABELS broker
  TIMEOUT 120)
