# Warnings, sanitizers and test registration shared by every target of the tree.

option(NORVANE_BUILD_FUZZ "Build the libFuzzer targets (clang; instruments every target)" OFF)

function(norvane_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  # Lets the linker leave out what the service binary never calls.
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  if(NORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(NORVANE_BUILD_FUZZ)
    # Every library a fuzz target links is instrumented for coverage and checked like the
    # address build; only the fuzz targets themselves link libFuzzer's main.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                           -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(NORVANE_SANITIZE STREQUAL "address")
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    # clang's undefined group already holds float-cast-overflow; GCC's does not.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -fsanitize=float-cast-overflow)
      target_link_options(${target} PRIVATE -fsanitize=float-cast-overflow)
    endif()
  elseif(NORVANE_SANITIZE STREQUAL "thread")
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()

# norvane_add_fuzzer(name SOURCES ... LIBS ...): a libFuzzer executable (clang only).
function(norvane_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  norvane_target_options(${name})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()

# norvane_add_library(name ALIAS alias SOURCES ... LIBS ...)
function(norvane_add_library name)
  cmake_parse_arguments(ARG "" "ALIAS" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  norvane_target_options(${name})
  if(ARG_ALIAS)
    add_library(${ARG_ALIAS} ALIAS ${name})
  endif()
endfunction()

# norvane_add_test(name SOURCES ... LIBS ... LABELS ... TIMEOUT s)
# One executable per test file group; gtest_discover_tests lets ctest -j spread
# the cases of slow (broker, system) suites over the cores.
function(norvane_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  norvane_target_options(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  # An empty LABELS value would make ctest read the next keyword as the label.
  set(props TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  # ctest -j starts costly tests first: the system tests wait minutes on real time, and a
  # fresh build directory has no timing history to order them by.
  if("system" IN_LIST ARG_LABELS)
    list(APPEND props COST 1000)
  elseif("broker" IN_LIST ARG_LABELS)
    list(APPEND props COST 100)
  endif()
  gtest_discover_tests(${name} PROPERTIES ${props} DISCOVERY_TIMEOUT 30)
endfunction()
