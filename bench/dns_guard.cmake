# A program that only sleeps: the benchmarks' baseline for what any process
# costs, and the DNS rule tests' stand-in for a guard that never ends.
if(WIN32)
  add_executable(idle_program WIN32 ${CMAKE_CURRENT_LIST_DIR}/idle_program.cpp)
  if(MINGW)
    target_link_options(idle_program PRIVATE -municode)
  endif()
endif()
# DNS rule guard benchmark (Windows, run by hand under Wine; not a test):
#   <build>/tools/wine-run <build>/bin/dns_guard_bench.exe [seconds]
# It uses the whole-program harness, which is built with the tests.
if(WIN32 AND TARGET tovix_whole_program)
  add_executable(dns_guard_bench ${CMAKE_CURRENT_LIST_DIR}/dns_guard_bench.cpp)
  target_link_libraries(dns_guard_bench PRIVATE tovix_whole_program tovix_service)
  add_dependencies(dns_guard_bench idle_program TovixDnsGuard)
endif()
