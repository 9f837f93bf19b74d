target_sources(norvane_service PRIVATE error_map.cpp availability_cache.cpp control_topic.cpp)
