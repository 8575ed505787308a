# libFuzzer runs over the two decoders that take bytes from the UI. Native
# clang builds only; TOVIX_SANITIZE adds AddressSanitizer and UBSan. Each run
# feeds 100000 inputs; the decoders' own diagnostics are silenced inside the
# targets, crashes are still reported. A single allocation above
# 32 MiB counts as a failure: no input of at most 8 KiB may need one.
if(TOVIX_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND NOT WIN32)
  foreach(decoder method_call response_envelope)
    set(target channels_fuzz_${decoder})
    # The codec is compiled into the target, so that its code carries the
    # fuzzer's coverage instrumentation.
    add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/fuzz_${decoder}.cpp
      ${PROJECT_SOURCE_DIR}/channels/encodable_value.cpp
      ${PROJECT_SOURCE_DIR}/channels/byte_streams.cpp
      ${PROJECT_SOURCE_DIR}/channels/standard_codec_serializer.cpp
      ${PROJECT_SOURCE_DIR}/channels/standard_method_codec.cpp
      ${PROJECT_SOURCE_DIR}/channels/method_result.cpp)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    # Seeds are given as files, so that nothing is written back to disk.
    file(GLOB seeds ${CMAKE_CURRENT_LIST_DIR}/fuzz_corpus/${decoder}/*)
    list(JOIN seeds "," seed_list)
    add_test(NAME ${target}
      COMMAND ${target} -runs=100000 -max_len=8192 -malloc_limit_mb=32 -rss_limit_mb=1024
              -seed=1 -seed_inputs=${seed_list})
    # About 40 s on an idle machine; generous for a loaded one.
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
  endforeach()
endif()
