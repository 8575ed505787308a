# Launch, output monitor, stop and exit watcher of the VPN core. The line
# assembler and line decisions are portable; the rest talks to Windows.
target_sources(tovix_portable PRIVATE ${CMAKE_CURRENT_LIST_DIR}/core_output.cpp)
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/privileged_client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/privileged_start.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dns_rule_requests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/core_launch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/core_output_reader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/core_stop.cpp)
endif()
