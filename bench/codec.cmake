# Codec throughput beside memcpy (native builds only; not a test). Figures are
# only meaningful from a build without sanitizers, e.g.
#   cmake -S . -B build/bench -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
#     -DCMAKE_BUILD_TYPE=Release -DTOVIX_BUILD_TESTS=OFF
#   cmake --build build/bench --target codec_bench && build/bench/bench/codec_bench
if(NOT WIN32)
  add_executable(codec_bench ${CMAKE_CURRENT_LIST_DIR}/codec_bench.cpp)
  target_link_libraries(codec_bench PRIVATE tovix_portable)
endif()

# The configuration check beside a plain scan of the same 4 MiB (native
# builds only; not a test): build/bench/bench/config_check_bench.
if(NOT WIN32)
  add_executable(config_check_bench ${CMAKE_CURRENT_LIST_DIR}/config_check_bench.cpp)
  target_link_libraries(config_check_bench PRIVATE tovix_service_portable)
  target_include_directories(config_check_bench PRIVATE ${PROJECT_SOURCE_DIR})
endif()
