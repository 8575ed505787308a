# The stand-in embedder's messenger (and its engine-side test interface).
target_sources(flutter_windows PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/messenger.cpp
  ${CMAKE_CURRENT_LIST_DIR}/standin_messenger.h)
