# The real binary driven by the simulated peers: back-fill against a misbehaving history
# peer, killed and restarted services, repaired progress files, device errors, bad live
# values, a broker restart and the stale-cache exit.
norvane_add_test(sim_backfill_system_tests
  SOURCES test_backfill_sim.cpp
  LIBS namespace_harness kavrion::peers nlohmann_json::nlohmann_json norvane_fmt
  LABELS system
  TIMEOUT 300)
norvane_add_test(sim_resilience_system_tests
  SOURCES test_resilience_sim.cpp
  LIBS namespace_harness kavrion::peers nlohmann_json::nlohmann_json norvane_fmt
  LABELS system
  TIMEOUT 540)
# The simulators' own logic.
norvane_add_test(sim_peers_tests
  SOURCES test_peers_sim.cpp
  LIBS kavrion::norvane_service kavrion::peers)
# The simulator programs themselves, run as the demo runs them.
norvane_add_test(sim_tools_system_tests
  SOURCES test_tools_sim.cpp
  LIBS namespace_harness
  LABELS system
  TIMEOUT 240)
if(TARGET sim_tools_system_tests)
  add_dependencies(sim_tools_system_tests norvane-bridge norvane-devices)
  target_compile_definitions(sim_tools_system_tests PRIVATE
    NORVANE_TOOLS_DIR="$<TARGET_FILE_DIR:norvane-bridge>"
    NORVANE_EXAMPLE_CONFIGURATION="${PROJECT_SOURCE_DIR}/docs/examples/configuration.json")
endif()
# The real binary under field faults: a full progress directory during a back-fill, a
# history peer silent in the middle of a window, files and links planted at its progress path.
norvane_add_test(sim_field_faults_system_tests
  SOURCES test_field_faults_sim.cpp
  LIBS namespace_harness kavrion::peers nlohmann_json::nlohmann_json norvane_fmt
  LABELS system
  TIMEOUT 300)
