# The network change monitor and the physical network's fingerprint (Tovix.exe).
target_sources(tovix_portable PRIVATE ${CMAKE_CURRENT_LIST_DIR}/physical_fingerprint.cpp)
if(WIN32)
  target_sources(tovix_host PRIVATE ${CMAKE_CURRENT_LIST_DIR}/network_monitor.cpp)
endif()
