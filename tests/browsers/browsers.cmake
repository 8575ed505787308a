# The path extraction is pure text: it runs in both builds.
tovix_add_gtest(executable_path_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/executable_path_test.cpp
  LIBS tovix_portable TIMEOUT 30)
if(WIN32)
  # Writes HKEY_LOCAL_MACHINE registrations and the user's URL choices.
  tovix_add_gtest(registered_browsers_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/registered_browsers_test.cpp
    LIBS tovix_host LOCKS hklm TIMEOUT 120)
endif()
