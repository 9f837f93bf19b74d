# Peers of the service for tests and demonstrations: simulated devices and a history
# stand-in, over a small library that tests use too.
norvane_add_library(norvane_peers ALIAS kavrion::peers
  SOURCES peers/series.cpp peers/history_stand_in.cpp peers/device_publisher.cpp peers/signals.cpp
          peers/meter_values.cpp peers/meter_view.cpp
  LIBS kavrion::mqtt kavrion::io nlohmann_json::nlohmann_json norvane_fmt Threads::Threads)

add_executable(norvane-devices norvane_devices.cpp)
target_link_libraries(norvane-devices PRIVATE kavrion::peers)
norvane_target_options(norvane-devices)

add_executable(norvane-history norvane_history.cpp)
target_link_libraries(norvane-history PRIVATE kavrion::peers)
norvane_target_options(norvane-history)

add_executable(norvane-bridge norvane_bridge.cpp)
target_link_libraries(norvane-bridge PRIVATE kavrion::peers)
norvane_target_options(norvane-bridge)
