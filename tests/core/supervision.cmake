# Tests of the core's launch, output monitor, stop and exit watcher.
# The line assembler and decisions run everywhere (natively under the
# sanitizers); the rest runs under Wine with the stand-in core.
tovix_add_gtest(core_output_tests SOURCES core_output_test.cpp LIBS tovix_portable)
if(WIN32)
  # The supervision tests live in a folder laid out like an installation: the
  # privileged program and the guard beside the test program, the stand-in
  # core and a wintun.dll in its "bin", which is where the privileged program
  # looks for them. The job-fallback test runs that program's launch in
  # process, hence tovix_service.
  set(supervision_dir ${CMAKE_BINARY_DIR}/supervision-tests)
  tovix_add_gtest(core_supervision_tests
    SOURCES supervision_fixture.cpp core_launch_test.cpp core_stop_test.cpp
            core_output_reader_test.cpp supervision_reliability_test.cpp
    LIBS tovix_host tovix_service psapi ole32
    LOCKS datadir hklm
    TIMEOUT 600)
  set_target_properties(core_supervision_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${supervision_dir})
  add_dependencies(core_supervision_tests sing-box TovixService TovixDnsGuard)
  add_custom_command(TARGET core_supervision_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${supervision_dir}/bin ${supervision_dir}/standin
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TovixService> ${supervision_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TovixDnsGuard> ${supervision_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:sing-box> ${supervision_dir}/standin/sing-box.exe
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:sing-box> ${supervision_dir}/bin/sing-box.exe
    COMMAND ${CMAKE_COMMAND} -E touch ${supervision_dir}/bin/wintun.dll)
endif()
if(WIN32)
  # The chaos soak: randomized sessions against the stand-in core, driven as
  # the UI drives the host, with invariants checked after each. It lives in a
  # folder laid out like an installation (bin\sing-box.exe, bin\wintun.dll,
  # the stand-in embedder beside it). CI runs a short, seeded version; a long
  # run is `chaos_soak.exe --sessions 500 --seed <n>` under tools/wine-run.
  set(soak_dir ${CMAKE_BINARY_DIR}/chaos-soak)
  add_executable(chaos_soak chaos_soak.cpp)
  target_link_libraries(chaos_soak PRIVATE tovix_service tovix_host)
  target_include_directories(chaos_soak PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  set_target_properties(chaos_soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${soak_dir})
  add_dependencies(chaos_soak sing-box flutter_windows TovixService TovixDnsGuard)
  add_custom_command(TARGET chaos_soak POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${soak_dir}/bin
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TovixService> ${soak_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TovixDnsGuard> ${soak_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:sing-box> ${soak_dir}/bin/sing-box.exe
    COMMAND ${CMAKE_COMMAND} -E touch ${soak_dir}/bin/wintun.dll
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:flutter_windows> ${soak_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TovixService> ${soak_dir}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TovixDnsGuard> ${soak_dir}/)
  add_test(NAME chaos_soak.short COMMAND chaos_soak --sessions 30 --seed 1313)
  set_tests_properties(chaos_soak.short PROPERTIES TIMEOUT 240 RESOURCE_LOCK machine_state)
  # The same where the tunnel's DNS servers are known, so that the DNS worker
  # installs the rule itself (a network namespace of its own: root only,
  # skipped elsewhere; its Wine prefix is the namespace tests' one).
  if(MINGW)
    add_test(NAME chaos_soak.tunnel_dns
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/chaos_soak_netns.sh $<TARGET_FILE:chaos_soak>
              ${CMAKE_BINARY_DIR}/wine-netns ${TOVIX_TOOLS_DIR}/wine-prefix.sh
              --sessions 15 --seed 1313)
    set_tests_properties(chaos_soak.tunnel_dns PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 560
      RESOURCE_LOCK wine_netns)
  endif()
endif()
