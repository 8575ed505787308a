# The DNS policy rule, its owner and guard, the tunnel's DNS servers and the
# adapter sweep, as the privileged program keeps them.
if(WIN32)
  # Scratch registry keys under HKEY_CURRENT_USER, hand-made adapter and node
  # records: nothing shared.
  tovix_add_gtest(service_dns_tests
    SOURCES dns_policy_registry_test.cpp tunnel_dns_test.cpp sweep_decision_test.cpp
    LIBS tovix_service ws2_32)
  # The real HKEY_LOCAL_MACHINE rule, the worker, clean-up and device nodes.
  tovix_add_gtest(service_machine_tests
    SOURCES dns_policy_machine_test.cpp adapter_sweep_test.cpp
    LIBS tovix_service ole32 setupapi
    LOCKS hklm
    TIMEOUT 90)
  # Stands in for the privileged program whose death the guard notices.
  add_executable(dns_rule_holder ${CMAKE_CURRENT_LIST_DIR}/dns_rule_holder.cpp)
  target_link_libraries(dns_rule_holder PRIVATE tovix_service)
  if(MINGW)
    target_link_options(dns_rule_holder PRIVATE -municode)
  endif()
  # The guard cases start the guard program of this build, the holder, and a
  # program that never ends (bench/idle_program.cpp) in the guard's place.
  add_dependencies(service_machine_tests TovixDnsGuard dns_rule_holder idle_program)
endif()
