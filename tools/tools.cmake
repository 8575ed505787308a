# Developer tools: the transcript renderer (a library the whole-program tests
# use too, and the tovix_transcript program). Built on both platforms.
add_library(tovix_transcript STATIC ${CMAKE_CURRENT_LIST_DIR}/transcript_render.cpp)
target_include_directories(tovix_transcript PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tovix_transcript PUBLIC tovix_portable)
add_executable(tovix_transcript_view ${CMAKE_CURRENT_LIST_DIR}/transcript_view.cpp)
set_target_properties(tovix_transcript_view PROPERTIES OUTPUT_NAME tovix_transcript)
target_link_libraries(tovix_transcript_view PRIVATE tovix_transcript)
