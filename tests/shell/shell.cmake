# Tests of the application shell, the whole-program harness and the
# whole-program tests (which start Tovix.exe under Wine).
if(WIN32)
  # The harness, for every folder's whole-program tests (see whole_program.h).
  add_library(tovix_whole_program STATIC
    ${CMAKE_CURRENT_LIST_DIR}/whole_program.cpp
    ${PROJECT_SOURCE_DIR}/stand-ins/flutter_windows/ui_script.cpp)
  target_include_directories(tovix_whole_program PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(tovix_whole_program PUBLIC tovix_host tovix_transcript)
  # The programs it starts.
  add_dependencies(tovix_whole_program Tovix TovixService TovixDnsGuard flutter_windows app_links_plugin audioplayers_windows_plugin
    connectivity_plus_plugin file_selector_windows_plugin url_launcher_windows_plugin)
  if(TARGET sing-box)
    add_dependencies(tovix_whole_program sing-box)
  endif()

  tovix_add_gtest(shell_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/window_placement_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/placement_store_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/win32_window_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/single_instance_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/flutter_window_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/cleanup_mode_test.cpp
    LIBS tovix_host tovix_plugins shell32
    LOCKS hkcu_window hklm service_manager
    TIMEOUT 60)
  # The teardown test connects to the privileged program beside it.
  add_dependencies(shell_tests TovixService TovixDnsGuard)

  # A program of its own (the narrowed search cannot be undone), with a probe DLL.
  add_library(tovix_probe SHARED ${CMAKE_CURRENT_LIST_DIR}/probe_dll.cpp)
  set_target_properties(tovix_probe PROPERTIES PREFIX "")
  # It also runs Tovix.exe --km-cleanup, which starts the privileged program.
  tovix_add_gtest(dll_search_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/dll_search_test.cpp LIBS tovix_host
    LOCKS instance hklm service_manager
    TIMEOUT 150)
  add_dependencies(dll_search_tests tovix_probe Tovix TovixService flutter_windows app_links_plugin
    audioplayers_windows_plugin connectivity_plus_plugin file_selector_windows_plugin
    url_launcher_windows_plugin)

  tovix_add_gtest(whole_program_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/whole_program_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/placement_whole_program_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/second_instance_test.cpp
    LIBS tovix_whole_program
    LOCKS datadir instance hklm hkcu_window
    TIMEOUT 120)
else()
  tovix_add_gtest(shell_placement_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_placement_test.cpp
    LIBS tovix_portable)
endif()
