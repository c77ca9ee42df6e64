# Test support: GoogleTest (the system's on Linux, built from Debian's sources for
# the Windows cross build) and one CTest entry per test program, so that under
# Wine every program starts once.
if(NOT VARNEL_BUILD_TESTS)
  return()
endif()
enable_testing()

if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
find_package(Threads REQUIRED)

# varnel_add_test(NAME SOURCES... [LIBS ...]): one test program, one CTest entry.
# The program may start copies of itself as child processes (see test_support).
function(varnel_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gtest
                        Threads::Threads varnel_warnings)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()
