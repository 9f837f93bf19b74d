target_sources(norvane_service PRIVATE progress_store.cpp collection_loop.cpp configuration.cpp startup.cpp
  watchdog.cpp)
target_link_libraries(norvane_service PRIVATE PkgConfig::libsystemd)
