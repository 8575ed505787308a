# The application shell: entry point, single instance, main window.
# Tovix.exe lands in <build>/bin; its resources come from resources/.
target_sources(tovix_portable PRIVATE ${CMAKE_CURRENT_LIST_DIR}/window_placement.cpp)
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/cleanup_mode.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dll_search.cpp
    ${CMAKE_CURRENT_LIST_DIR}/placement_store.cpp
    ${CMAKE_CURRENT_LIST_DIR}/service_switches.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/flutter_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/single_instance.cpp)
  add_executable(Tovix WIN32 ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
  target_link_libraries(Tovix PRIVATE tovix_host tovix_plugins)
  tovix_separate_debug_info(Tovix)
  tovix_page_aligned_image(Tovix)
  # Tovix.exe starts the privileged program from its own folder.
  add_dependencies(Tovix TovixService)
  if(MINGW)
    target_link_options(Tovix PRIVATE -municode)
  endif()
endif()
