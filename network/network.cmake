# DNS policy rule, network change monitor, adapter sweep and clean-up.
target_sources(tovix_portable PRIVATE ${CMAKE_CURRENT_LIST_DIR}/physical_fingerprint.cpp)
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/adapter_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tunnel_dns.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dns_policy.cpp
    ${CMAKE_CURRENT_LIST_DIR}/network_monitor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sweep_decision.cpp
    ${CMAKE_CURRENT_LIST_DIR}/adapter_sweep.cpp)
endif()
