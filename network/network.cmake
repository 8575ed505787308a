# DNS policy rule, network change monitor, adapter sweep and clean-up.
target_sources(tovix_portable PRIVATE ${CMAKE_CURRENT_LIST_DIR}/physical_fingerprint.cpp)
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/adapter_list.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tunnel_dns.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dns_policy.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dns_guard.cpp
    ${CMAKE_CURRENT_LIST_DIR}/network_monitor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sweep_decision.cpp
    ${CMAKE_CURRENT_LIST_DIR}/adapter_sweep.cpp)
endif()

# The rule key and its owner: shared by the host and the guard program, which
# stays small by linking nothing else.
if(WIN32)
  add_library(tovix_dns_rule STATIC
    ${CMAKE_CURRENT_LIST_DIR}/dns_rule_key.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dns_rule_owner.cpp)
  target_include_directories(tovix_dns_rule PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(tovix_dns_rule PUBLIC advapi32)
  target_link_libraries(tovix_host PUBLIC tovix_dns_rule)

  add_executable(TovixDnsGuard WIN32 ${CMAKE_CURRENT_LIST_DIR}/dns_guard_program.cpp)
  target_link_libraries(TovixDnsGuard PRIVATE tovix_dns_rule)
  tovix_separate_debug_info(TovixDnsGuard)
  if(MINGW)
    target_link_options(TovixDnsGuard PRIVATE -municode)
  endif()
endif()
