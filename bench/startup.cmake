# Start-up benchmark (Windows, run by hand under Wine, not a test):
#   <build>/tools/wine-run <build>/bin/startup_bench.exe [runs]
if(WIN32 AND TARGET Tovix)
  add_executable(startup_bare_window WIN32 ${CMAKE_CURRENT_LIST_DIR}/bare_window.cpp)
  if(MINGW)
    target_link_options(startup_bare_window PRIVATE -municode)
  endif()
  add_executable(startup_bench ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
  add_dependencies(startup_bench Tovix startup_bare_window flutter_windows tovix_plugins)
endif()
