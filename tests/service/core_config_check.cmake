# The broker's configuration check: plain code over bytes, tested natively
# under the sanitizers and under Wine, and fuzzed natively.
tovix_add_gtest(core_config_check_tests SOURCES core_config_check_test.cpp
  LIBS tovix_service_portable)

# libFuzzer over the scanner (see tests/channels/fuzz.cmake for the limits).
if(TOVIX_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND NOT WIN32)
  # The check is compiled into the target, for the coverage instrumentation.
  add_executable(service_fuzz_core_config ${CMAKE_CURRENT_LIST_DIR}/fuzz_core_config.cpp
    ${PROJECT_SOURCE_DIR}/service/config_check/core_config_check.cpp
    ${PROJECT_SOURCE_DIR}/service/config_check/core_config_names.cpp
    ${PROJECT_SOURCE_DIR}/service/config_check/json_text.cpp)
  target_include_directories(service_fuzz_core_config PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(service_fuzz_core_config PRIVATE -fsanitize=fuzzer)
  target_link_options(service_fuzz_core_config PRIVATE -fsanitize=fuzzer)
  file(GLOB seeds ${CMAKE_CURRENT_LIST_DIR}/fuzz_corpus/core_config/*)
  list(JOIN seeds "," seed_list)
  add_test(NAME service_fuzz_core_config
    COMMAND service_fuzz_core_config -runs=100000 -max_len=8192 -malloc_limit_mb=32
            -rss_limit_mb=1024 -seed=1 -seed_inputs=${seed_list})
  set_tests_properties(service_fuzz_core_config PROPERTIES TIMEOUT 600)
endif()
