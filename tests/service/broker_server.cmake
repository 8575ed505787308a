# The broker as its client and its attackers see it: its pipe attacked by a
# test that starts TovixService.exe itself, and whole sessions of Tovix.exe
# through it (the shell's harness).
if(WIN32)
  tovix_add_gtest(broker_server_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/broker_server_test.cpp
    LIBS tovix_whole_program
    LOCKS hklm
    TIMEOUT 120)
  tovix_add_gtest(broker_whole_program_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/broker_whole_program_test.cpp
    LIBS tovix_whole_program tovix_dns_rule
    LOCKS datadir instance hklm hkcu_window
    TIMEOUT 180)
endif()
