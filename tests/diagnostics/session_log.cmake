if(WIN32)
  tovix_add_gtest(session_log_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/session_log_test.cpp
    LIBS tovix_host TIMEOUT 60)
endif()
