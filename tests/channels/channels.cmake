# The channel layer's unit tests: under Wine against the stand-in
# flutter_windows.dll, natively under the sanitizers against its static form.
tovix_add_gtest(channels_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/encodable_value_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/standard_codec_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/binary_messenger_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/method_channel_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/event_channel_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/allocation_watch.cpp
  LIBS tovix_portable flutter_windows
  TIMEOUT 60)
