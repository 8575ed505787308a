# Start-up benchmark (Windows, run by hand under Wine, not a test):
#   <build>/tools/wine-run <build>/bin/startup_bench.exe [runs]
if(WIN32 AND TARGET Tovix)
  add_executable(startup_bare_window WIN32 ${CMAKE_CURRENT_LIST_DIR}/bare_window.cpp)
  add_executable(startup_bare_embedder WIN32 ${CMAKE_CURRENT_LIST_DIR}/bare_window.cpp)
  target_compile_definitions(startup_bare_embedder PRIVATE TOVIX_BARE_WITH_EMBEDDER)
  target_include_directories(startup_bare_embedder PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(startup_bare_embedder PRIVATE flutter_windows tovix_plugins)
  foreach(program startup_bare_window startup_bare_embedder)
    tovix_separate_debug_info(${program})
    if(MINGW)
      target_link_options(${program} PRIVATE -municode)
    endif()
  endforeach()
  add_executable(startup_bench ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
  add_dependencies(startup_bench Tovix startup_bare_window startup_bare_embedder flutter_windows
                   tovix_plugins)
endif()
