# The engine wrappers and plugin registration against the stand-in embedder.
if(WIN32 AND TARGET app_links_plugin)
  tovix_add_gtest(engine_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_test.cpp
    LIBS tovix_host tovix_plugins
    # Run apart from the tests that start and kill cores: three times in five
    # full runs under Wine, an engine test that had passed did not exit while
    # a supervision test ran beside it (cause not found; never alone).
    LOCKS wine_processes
    TIMEOUT 60)
endif()
