# Benchmark of the core supervision (Windows build, run by hand under Wine;
# not a test). It runs from a folder of its own with TovixService.exe beside
# it and the stand-in core and a wintun.dll in its "bin", where they look.
if(WIN32 AND TARGET TovixService)
  set(core_bench_dir ${CMAKE_BINARY_DIR}/core-bench)
  add_executable(core_bench core_bench.cpp)
  target_link_libraries(core_bench PRIVATE tovix_host)
  set_target_properties(core_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${core_bench_dir})
  add_dependencies(core_bench sing-box TovixService TovixDnsGuard)
  add_custom_command(TARGET core_bench POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${core_bench_dir}/bin
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:sing-box> ${core_bench_dir}/bin/sing-box.exe
    COMMAND ${CMAKE_COMMAND} -E touch ${core_bench_dir}/bin/wintun.dll
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TovixService>
            $<TARGET_FILE:TovixDnsGuard> ${core_bench_dir})
endif()
