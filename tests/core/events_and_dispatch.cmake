# Tests of the core channel dispatch, the shared core record and the VPN
# event stream. The argument checks also run natively (sanitizers).
tovix_add_gtest(core_call_checks_tests SOURCES core_call_checks_test.cpp LIBS tovix_portable)
if(WIN32)
  # "start" and "stop" reach the data folder and start the privileged program
  # (TovixService.exe beside the test, through the prompt: no installed
  # service may stand in), which may sweep the rule under HKLM.
  tovix_add_gtest(core_channels_tests SOURCES core_channels_test.cpp
    LIBS tovix_host LOCKS datadir hklm service_manager TIMEOUT 120)
  add_dependencies(core_channels_tests TovixService TovixDnsGuard)
  tovix_add_gtest(vpn_events_tests SOURCES vpn_events_test.cpp
    LIBS tovix_host LOCKS datadir hklm TIMEOUT 120)
endif()
