# The DNS policy rule, its owner and guard, the tunnel's DNS servers and the
# adapter sweep, as the privileged program keeps them.
if(WIN32)
  # Scratch registry keys under HKEY_CURRENT_USER, hand-made adapter and node
  # records: nothing shared.
  tovix_add_gtest(service_dns_tests
    SOURCES dns_policy_registry_test.cpp tunnel_dns_test.cpp sweep_decision_test.cpp
    LIBS tovix_service)
  # The real HKEY_LOCAL_MACHINE rule, the worker, clean-up and device nodes.
  tovix_add_gtest(service_machine_tests
    SOURCES dns_policy_machine_test.cpp adapter_sweep_test.cpp
    LIBS tovix_service ole32 setupapi
    LOCKS hklm
    TIMEOUT 90)
  # The guard cases start the guard program of this build.
  add_dependencies(service_machine_tests TovixDnsGuard)
endif()
