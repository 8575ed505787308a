if(WIN32)
  tovix_add_gtest(protected_file_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/protected_file_test.cpp
    LIBS tovix_host TIMEOUT 120)
  tovix_add_gtest(secure_preferences_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/secure_preferences_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/allocation_watch.cpp
    LIBS tovix_host LOCKS datadir TIMEOUT 120)
  # Starts Tovix.exe through the whole-program harness of tests/shell.
  tovix_add_gtest(secure_preferences_program_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/secure_preferences_whole_program_test.cpp
    LIBS tovix_whole_program LOCKS datadir instance hklm hkcu_window TIMEOUT 180)
endif()
