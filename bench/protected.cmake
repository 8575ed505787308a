# Benchmark of the protected settings channel (Windows build, run by hand
# under Wine; not a test): a 4 MiB document written and read through the
# handler with the standard method codec, beside bare DPAPI of the same bytes.
if(WIN32)
  add_executable(protected_bench ${CMAKE_CURRENT_LIST_DIR}/protected_bench.cpp)
  target_link_libraries(protected_bench PRIVATE tovix_host)
endif()
