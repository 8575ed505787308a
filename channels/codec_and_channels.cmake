# Encodable values, the standard codec, the messenger, method and event
# channels. Portable: no Windows header, also built natively.
# BinaryMessengerImpl calls the embedder's C interface: whoever links it also
# links flutter_windows (tovix_host does). Not linked here, so that the
# stand-in embedder may itself use the codec without a dependency cycle.
target_sources(tovix_portable PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/encodable_value.h
  ${CMAKE_CURRENT_LIST_DIR}/encodable_value.cpp
  ${CMAKE_CURRENT_LIST_DIR}/method_call.h
  ${CMAKE_CURRENT_LIST_DIR}/secure_wipe.h
  ${CMAKE_CURRENT_LIST_DIR}/secure_wipe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/method_result.h
  ${CMAKE_CURRENT_LIST_DIR}/method_result.cpp
  ${CMAKE_CURRENT_LIST_DIR}/method_codec.h
  ${CMAKE_CURRENT_LIST_DIR}/byte_streams.h
  ${CMAKE_CURRENT_LIST_DIR}/byte_streams.cpp
  ${CMAKE_CURRENT_LIST_DIR}/standard_codec.h
  ${CMAKE_CURRENT_LIST_DIR}/standard_codec_serializer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/standard_method_codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/binary_messenger.h
  ${CMAKE_CURRENT_LIST_DIR}/binary_messenger_impl.h
  ${CMAKE_CURRENT_LIST_DIR}/binary_messenger_impl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_method_result.h
  ${CMAKE_CURRENT_LIST_DIR}/engine_method_result.cpp
  ${CMAKE_CURRENT_LIST_DIR}/method_channel.h
  ${CMAKE_CURRENT_LIST_DIR}/method_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/event_sink.h
  ${CMAKE_CURRENT_LIST_DIR}/event_sink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_handler.h
  ${CMAKE_CURRENT_LIST_DIR}/stream_handler_functions.h
  ${CMAKE_CURRENT_LIST_DIR}/stream_handler_functions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/event_channel.h
  ${CMAKE_CURRENT_LIST_DIR}/event_channel.cpp)
