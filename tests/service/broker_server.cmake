# The broker and the installed service as their clients and attackers see
# them: their pipes attacked by a test, and whole sessions of Tovix.exe
# through them (the shell's harness).
if(WIN32)
  tovix_add_gtest(broker_server_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/broker_server_test.cpp
    LIBS tovix_whole_program tovix_service
    LOCKS hklm datadir instance hkcu_window service_manager
    TIMEOUT 150)
  tovix_add_gtest(broker_whole_program_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/broker_whole_program_test.cpp
    LIBS tovix_whole_program tovix_dns_rule tovix_service
    LOCKS datadir instance hklm hkcu_window service_manager
    TIMEOUT 180)
  # The service tests install the test build of the service.
  add_dependencies(broker_server_tests TovixServiceUnderTest)
  add_dependencies(broker_whole_program_tests TovixServiceUnderTest)
endif()
