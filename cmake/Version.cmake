# "Version %s" at start-up carries the project version and the commit it was built from.
set(NORVANE_GIT_COMMIT "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE _commit OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _rc ERROR_QUIET)
  if(_rc EQUAL 0 AND _commit)
    set(NORVANE_GIT_COMMIT ${_commit})
  endif()
endif()
# Debian revision of the package built from this tree.
set(NORVANE_PACKAGE_RELEASE 1)
# The package version, then the commit.
set(NORVANE_VERSION_STRING "${PROJECT_VERSION}-${NORVANE_PACKAGE_RELEASE} (commit ${NORVANE_GIT_COMMIT})")
