# Tests of the DNS policy rule, the network monitor and the adapter sweep.
if(WIN32)
  # Scratch registry keys under HKEY_CURRENT_USER, scratch folders, hand-made
  # adapter and node records: nothing shared.
  tovix_add_gtest(network_tests
    SOURCES dns_policy_registry_test.cpp tunnel_dns_test.cpp physical_fingerprint_test.cpp
            network_monitor_test.cpp sweep_decision_test.cpp
    LIBS tovix_host ws2_32)
  # The real HKEY_LOCAL_MACHINE rule, the worker, clean-up and device nodes.
  tovix_add_gtest(network_machine_tests
    SOURCES dns_policy_machine_test.cpp adapter_sweep_test.cpp
    LIBS tovix_host ole32 setupapi
    LOCKS hklm
    TIMEOUT 90)
  # The guard cases start the guard program of this build, or a program
  # that never arms (bench/dns_guard.cmake, built with the tests).
  add_dependencies(network_machine_tests TovixDnsGuard idle_program)
else()
  tovix_add_gtest(network_portable_tests SOURCES physical_fingerprint_test.cpp LIBS tovix_portable)
endif()

# The real adapter path in a network namespace made by the script (root only;
# reported as skipped elsewhere).
if(WIN32 AND MINGW)
  add_executable(tunnel_dns_probe tunnel_dns_probe.cpp)
  target_link_libraries(tunnel_dns_probe PRIVATE tovix_host)
  target_link_options(tunnel_dns_probe PRIVATE -municode)
  add_test(NAME network_netns_tunnel_dns
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/netns_tunnel_dns.sh $<TARGET_FILE:tunnel_dns_probe>
            ${CMAKE_BINARY_DIR}/wine-netns ${TOVIX_TOOLS_DIR}/wine-prefix.sh
            $<TARGET_FILE:network_whole_program_tests>)
  set_tests_properties(network_netns_tunnel_dns PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 400)
endif()

# Tovix.exe as a whole (the shell's harness).
if(WIN32)
  tovix_add_gtest(network_whole_program_tests
    SOURCES network_whole_program_test.cpp
    LIBS tovix_whole_program ole32 setupapi
    LOCKS datadir instance hklm hkcu_window
    TIMEOUT 180)
endif()
