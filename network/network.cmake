# DNS policy rule, network change monitor, adapter sweep and clean-up.
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/dns_policy.cpp
    ${CMAKE_CURRENT_LIST_DIR}/adapter_sweep.cpp
    ${CMAKE_CURRENT_LIST_DIR}/network_monitor.cpp)
endif()
