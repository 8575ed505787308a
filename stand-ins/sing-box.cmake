# The stand-in VPN core, sing-box.exe (tests and benchmarks only; never shipped).
if(WIN32)
  add_executable(sing-box sing-box/main.cpp)
  target_link_libraries(sing-box PRIVATE shell32)
  tovix_separate_debug_info(sing-box)
endif()
