# Tests of the network monitor and the physical network's fingerprint.
if(WIN32)
  tovix_add_gtest(network_tests
    SOURCES physical_fingerprint_test.cpp network_monitor_test.cpp
    LIBS tovix_host ws2_32)
else()
  tovix_add_gtest(network_portable_tests SOURCES physical_fingerprint_test.cpp LIBS tovix_portable)
endif()

# The real adapter path in a network namespace made by the script (root only;
# reported as skipped elsewhere).
if(WIN32 AND MINGW)
  add_executable(tunnel_dns_probe tunnel_dns_probe.cpp)
  target_link_libraries(tunnel_dns_probe PRIVATE tovix_service)
  target_link_options(tunnel_dns_probe PRIVATE -municode)
  add_test(NAME network_netns_tunnel_dns
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/netns_tunnel_dns.sh $<TARGET_FILE:tunnel_dns_probe>
            ${CMAKE_BINARY_DIR}/wine-netns ${TOVIX_TOOLS_DIR}/wine-prefix.sh
            $<TARGET_FILE:network_whole_program_tests>)
  set_tests_properties(network_netns_tunnel_dns PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 400
    RESOURCE_LOCK wine_netns)
endif()

# Tovix.exe as a whole (the shell's harness).
if(WIN32)
  tovix_add_gtest(network_whole_program_tests
    SOURCES network_whole_program_test.cpp
    LIBS tovix_whole_program tovix_service ole32 setupapi
    LOCKS datadir instance hklm hkcu_window service_manager
    TIMEOUT 180)
  add_dependencies(network_whole_program_tests TovixServiceUnderTest)
endif()
