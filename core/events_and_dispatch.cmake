# Core channel dispatch, the shared core record and the VPN event stream.
# The argument checks of two methods are portable; the rest is Windows-only.
target_sources(tovix_portable PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/core_call_checks.h
  ${CMAKE_CURRENT_LIST_DIR}/core_call_checks.cpp)
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/core_process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/vpn_events.cpp
    ${CMAKE_CURRENT_LIST_DIR}/async_start.cpp
    ${CMAKE_CURRENT_LIST_DIR}/core_channels.cpp)
endif()
