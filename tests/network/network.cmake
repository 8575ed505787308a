# Tests of the DNS policy rule, the network monitor and the adapter sweep.
if(WIN32)
  # Scratch registry keys under HKEY_CURRENT_USER, scratch folders, hand-made
  # adapter and node records: nothing shared.
  tovix_add_gtest(network_tests
    SOURCES dns_policy_registry_test.cpp tunnel_dns_test.cpp physical_fingerprint_test.cpp
            network_monitor_test.cpp sweep_decision_test.cpp
    LIBS tovix_host)
  # The real HKEY_LOCAL_MACHINE rule, the worker, clean-up and device nodes.
  tovix_add_gtest(network_machine_tests
    SOURCES dns_policy_machine_test.cpp adapter_sweep_test.cpp
    LIBS tovix_host ole32
    LOCKS hklm
    TIMEOUT 90)
else()
  tovix_add_gtest(network_portable_tests SOURCES physical_fingerprint_test.cpp LIBS tovix_portable)
endif()
