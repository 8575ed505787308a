# The engine wrappers and plugin registration against the stand-in embedder.
if(WIN32 AND TARGET app_links_plugin)
  tovix_add_gtest(engine_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_test.cpp
    LIBS tovix_host tovix_plugins
    TIMEOUT 60)
endif()
