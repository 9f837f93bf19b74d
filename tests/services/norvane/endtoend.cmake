# History requests, response processing and the collection step.
norvane_add_test(endtoend_tests
  SOURCES test_history_client.cpp test_history_reply.cpp test_response_processing.cpp
          test_collection_step.cpp test_peers.cpp
  LIBS kavrion::norvane_service kavrion::peers test_support)
norvane_add_test(endtoend_broker_tests
  SOURCES test_collection_step_broker.cpp
  LIBS kavrion::norvane_service kavrion::peers test_support
  LABELS broker
  TIMEOUT 60)
