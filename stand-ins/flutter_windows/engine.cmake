# The stand-in embedder's engine, view controller, view, plugin registrars and
# the UI session (script and transcript).
if(WIN32)
  target_sources(flutter_windows PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/engine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui_session.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui_script.cpp)
  target_link_libraries(flutter_windows PRIVATE shcore user32 gdi32)
endif()
