# Benchmark of the core supervision (Windows build, run by hand under Wine;
# not a test). It runs from a folder of its own with TovixService.exe beside
# it and the stand-in core and a wintun.dll in its "bin", where they look.
if(WIN32 AND TARGET TovixService)
  set(core_bench_dir ${CMAKE_BINARY_DIR}/core-bench)
  add_executable(core_bench core_bench.cpp)
  target_link_libraries(core_bench PRIVATE tovix_host)
  set_target_properties(core_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${core_bench_dir})
  tovix_bench_folder(core_bench ${core_bench_dir} TovixService TovixDnsGuard)
endif()
