# Device availability: the error map and the live-value cache.
norvane_add_test(availability_tests
  SOURCES test_control_topic.cpp test_availability_cache.cpp test_error_map.cpp
  LIBS kavrion::norvane_service test_support)
norvane_add_test(availability_broker_tests
  SOURCES test_availability_broker.cpp
  LIBS kavrion::norvane_service test_support
  LABELS broker
  TIMEOUT 120)
