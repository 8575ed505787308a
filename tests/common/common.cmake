if(WIN32)
  tovix_add_gtest(common_tests SOURCES paths_test.cpp text_test.cpp LIBS tovix_host LOCKS datadir hklm)
endif()
