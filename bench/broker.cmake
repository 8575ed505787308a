# Benchmark of the privileged program (Windows build, run by hand under Wine;
# not a test):
#   <build>/tools/wine-run <build>/broker-bench/broker_bench.exe [--service] [rounds] [idle s]
#     [first starts]
# It runs from a folder of its own: TovixService.exe and the guard beside it,
# the stand-in core and a wintun.dll in its "bin", where the programs look.
if(WIN32 AND TARGET TovixService AND TARGET TovixServiceUnderTest)
  if(NOT TARGET idle_program)
    add_executable(idle_program WIN32 ${CMAKE_CURRENT_LIST_DIR}/idle_program.cpp)
    if(MINGW)
      target_link_options(idle_program PRIVATE -municode)
    endif()
  endif()
  add_executable(idle_program_service_imports WIN32 ${CMAKE_CURRENT_LIST_DIR}/idle_program.cpp)
  target_compile_definitions(idle_program_service_imports PRIVATE TOVIX_IDLE_WITH_SERVICE_IMPORTS)
  target_link_libraries(idle_program_service_imports PRIVATE advapi32 iphlpapi setupapi ws2_32)
  if(MINGW)
    target_link_options(idle_program_service_imports PRIVATE -municode)
  endif()
  set(broker_bench_dir ${CMAKE_BINARY_DIR}/broker-bench)
  add_executable(broker_bench ${CMAKE_CURRENT_LIST_DIR}/broker_bench.cpp)
  target_link_libraries(broker_bench PRIVATE tovix_host tovix_service psapi)
  target_include_directories(broker_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  set_target_properties(broker_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${broker_bench_dir})
  tovix_bench_folder(broker_bench ${broker_bench_dir} TovixService TovixDnsGuard idle_program
                     idle_program_service_imports TovixServiceUnderTest)
endif()
