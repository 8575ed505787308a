# Launch, output monitor, stop and exit watcher of the VPN core.
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/core_launch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/core_stop.cpp)
endif()
