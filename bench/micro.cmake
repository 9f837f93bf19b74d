# Micro benchmarks over the service library.
find_package(benchmark REQUIRED)
add_executable(norvane-bench-micro micro_bench.cpp)
target_link_libraries(norvane-bench-micro PRIVATE kavrion::norvane_service benchmark::benchmark)
norvane_target_options(norvane-bench-micro)
