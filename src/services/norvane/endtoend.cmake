target_sources(norvane_service PRIVATE history_client.cpp history_reply.cpp response_processing.cpp
  collection_step.cpp)
