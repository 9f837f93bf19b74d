# The service core: progress store, collection loop, start-up helpers, configuration.
norvane_add_test(core_tests
  SOURCES test_progress_store.cpp test_collection_loop.cpp test_startup.cpp test_watchdog.cpp
  LIBS kavrion::norvane_service test_support
  TIMEOUT 60)
norvane_add_test(core_broker_tests
  SOURCES test_configuration.cpp
  LIBS kavrion::norvane_service test_support
  LABELS broker
  TIMEOUT 60)
