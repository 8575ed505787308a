# Engine, view controller and plugin registration over the embedder.
#
# TOVIX_PLUGIN_LIBRARIES: import libraries of the five real plugin DLLs
# (app_links_plugin, audioplayers_windows_plugin, connectivity_plus_plugin,
# file_selector_windows_plugin, url_launcher_windows_plugin) for a build
# against the real plugins; empty: the stand-in plugins of stand-ins/.
# Link `tovix_plugins` into whatever calls RegisterPlugins (Tovix.exe).
if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/flutter_engine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/flutter_view_controller.cpp
    ${CMAKE_CURRENT_LIST_DIR}/plugin_registrant.cpp)

  set(TOVIX_PLUGIN_LIBRARIES "" CACHE STRING
    "Import libraries of the five real plugin DLLs; empty: the stand-in plugins")
  add_library(tovix_plugins INTERFACE)
  if(TOVIX_PLUGIN_LIBRARIES)
    target_link_libraries(tovix_plugins INTERFACE ${TOVIX_PLUGIN_LIBRARIES})
  else()
    target_link_libraries(tovix_plugins INTERFACE app_links_plugin audioplayers_windows_plugin
      connectivity_plus_plugin file_selector_windows_plugin url_launcher_windows_plugin)
  endif()
endif()
