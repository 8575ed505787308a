# Test helpers shared by every folder under tests/.
#
# tovix_add_gtest(<name> SOURCES <files...> [LIBS <libs...>] [LOCKS <names...>]
#                 [TIMEOUT <s>])
#   One GoogleTest program. Its cases are discovered when CTest runs (under
#   Wine for the Windows build), each case a CTest test. LOCKS names the
#   shared things a test touches (the data folder, the instance mutex, machine
#   registry keys); tests with any LOCKS never run at the same time.
if(TOVIX_BUILD_TESTS AND NOT TARGET GTest::gtest_main)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
include(GoogleTest)

function(tovix_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LOCKS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/test_program.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  # TOVIX_EXPECT_FINISH: the Wine runner fails a program that exits with 0
  # before its tests have ended (tools/wine-run.in).
  set(props TIMEOUT ${T_TIMEOUT} ENVIRONMENT TOVIX_EXPECT_FINISH=1)
  # One lock for all shared machine state: a property list cannot carry
  # several lock names through test discovery, and the tests that touch
  # shared state are few enough to run one at a time.
  if(T_LOCKS)
    list(APPEND props RESOURCE_LOCK machine_state)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    TEST_PREFIX "${name}." PROPERTIES ${props})
endfunction()
