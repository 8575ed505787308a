if(WIN32)
  target_sources(tovix_host PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/protected_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/secure_preferences.cpp)
endif()
