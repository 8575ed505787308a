target_sources(tovix_portable PRIVATE ${CMAKE_CURRENT_LIST_DIR}/executable_path.cpp)
if(WIN32)
  target_sources(tovix_host PRIVATE ${CMAKE_CURRENT_LIST_DIR}/registered_browsers.cpp)
endif()
