# The five stand-in plugin DLLs. Each exports its registration function and
# TovixStandinPluginCalls; they use the stand-in embedder's registrar and
# transcript. Not built when the real embedder is used.
if(WIN32 AND NOT TOVIX_FLUTTER_LIBRARY)
  foreach(plugin app_links_plugin audioplayers_windows_plugin connectivity_plus_plugin
                 file_selector_windows_plugin url_launcher_windows_plugin)
    add_library(${plugin} SHARED
      ${CMAKE_CURRENT_LIST_DIR}/plugins/${plugin}.cpp
      ${CMAKE_CURRENT_LIST_DIR}/plugins/standin_plugin.cpp)
    set_target_properties(${plugin} PROPERTIES PREFIX "")
    target_include_directories(${plugin} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${plugin} PRIVATE flutter_windows)
    tovix_separate_debug_info(${plugin})
  endforeach()
  # The link-text escaping is shared with the embedder's transcript.
  target_sources(app_links_plugin PRIVATE ${CMAKE_CURRENT_LIST_DIR}/flutter_windows/ui_script.cpp)
endif()
