# A second compiler over the product code: `cmake --build <build> --target
# clang_check` compiles every C++ source of the product targets with clang,
# aimed at the same MinGW-w64 target and using the same MinGW headers and
# libstdc++ as the GCC build, with the targets' own definitions, include
# folders and options, warnings as errors. Compile only: the GCC build stays
# the one that is linked and tested. Each source leaves a stamp and clang's
# dependency file, so a rerun checks only what changed.
#
# The sources are read from the targets once every list file has added its
# own, so a file added to a product target is checked without a change here.
# Included at the end of the top-level list file.
if(NOT MINGW)
  return()
endif()

set(TOVIX_PRODUCT_TARGETS tovix_portable tovix_service_portable tovix_host tovix_service
  tovix_dns_rule Tovix TovixDnsGuard)

find_program(TOVIX_CLANG_CXX NAMES clang++)
if(NOT TOVIX_CLANG_CXX)
  add_custom_target(clang_check
    COMMAND ${CMAKE_COMMAND} -E echo "clang_check: clang++ was not found"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

# clang's own MinGW driver does not find Debian's versioned "12-posix" GCC
# folder (and would search the host's /usr/include), so the system folders are
# given explicitly: the ones the GCC build uses, less GCC's own intrinsics
# headers, which clang brings itself.
set(clang_system_includes "")
foreach(folder IN LISTS CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
  if(folder MATCHES "/c\\+\\+" OR NOT folder MATCHES "/lib/gcc/")
    list(APPEND clang_system_includes -isystem "${folder}")
  endif()
endforeach()
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
separate_arguments(clang_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${build_type}}")

set(stamps "")
foreach(target IN LISTS TOVIX_PRODUCT_TARGETS)
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(definitions "$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>")
  set(includes "$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>")
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.(cpp|cc|cxx)$" OR source MATCHES "\\$<")
      continue()
    endif()
    get_filename_component(source "${source}" ABSOLUTE BASE_DIR "${source_dir}")
    file(RELATIVE_PATH name "${PROJECT_SOURCE_DIR}" "${source}")
    string(REPLACE "../" "__/" name "${name}")
    set(stamp "${CMAKE_BINARY_DIR}/clang-check/${target}/${name}.ok")
    add_custom_command(OUTPUT "${stamp}"
      COMMAND ${TOVIX_CLANG_CXX} --target=x86_64-w64-mingw32 -nostdlibinc -nostdinc++
        ${clang_system_includes} ${clang_flags}
        "$<$<BOOL:${definitions}>:-D$<JOIN:${definitions},;-D>>"
        "$<$<BOOL:${includes}>:-I$<JOIN:${includes},;-I>>"
        "$<TARGET_PROPERTY:${target},COMPILE_OPTIONS>"
        -std=c++$<TARGET_PROPERTY:${target},CXX_STANDARD> -Wpedantic -Werror
        -fsyntax-only -MD -MF "${stamp}.d" -MT "${stamp}" "${source}"
      COMMAND ${CMAKE_COMMAND} -E touch "${stamp}"
      DEPENDS "${source}"
      DEPFILE "${stamp}.d"
      COMMENT "clang ${name}"
      COMMAND_EXPAND_LISTS VERBATIM)
    list(APPEND stamps "${stamp}")
  endforeach()
endforeach()
add_custom_target(clang_check DEPENDS ${stamps})
