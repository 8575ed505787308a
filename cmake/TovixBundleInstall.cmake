# Install-time half of the bundle (the configure-time half is TovixBundle.cmake).
# Runs inside `cmake --install`, and in script mode for its own tests.
#
# tovix_install_bundle(<error-var> PREFIX <folder>
#     [TOP <files...>] [BIN <files...>]
#     [ASSETS <flutter_assets folder>] [DATA <files...>] [OPTIONAL_DATA <files...>]
#     [OUTPUTS <file names...>] [MISSING <texts...>])
#
# TOP files go into the prefix, BIN files into <prefix>/bin, the ASSETS folder
# becomes <prefix>/data/flutter_assets (an empty one when none is given), DATA
# files go into <prefix>/data, and OPTIONAL_DATA files too when they exist.
# MISSING names inputs the configuration already knows are absent.
#
# Nothing is touched unless every input exists: otherwise <error-var> is set
# to a message naming each missing one, and the prefix stays as it was. When
# everything is there, <error-var> is empty and the prefix is brought up to
# date in place: what an earlier install of this build may have left there is
# removed first, namely the build's own programs and DLLs (OUTPUTS) where the
# bundle has none of that name, every debug file (.debug, .pdb) of them and of
# the shipped files, and the old data\ (flutter_assets, icudtl.dat, app.so),
# so that assets or an app.so of an earlier Flutter build never outlive it.
# cmake_install.cmake runs with the oldest policies; this file needs newer ones
# (IN_LIST, for one). A function keeps the policies of its definition.
cmake_policy(VERSION 3.20)

function(tovix_install_bundle error_var)
  cmake_parse_arguments(PARSE_ARGV 1 B "" "PREFIX;ASSETS" "TOP;BIN;DATA;OPTIONAL_DATA;OUTPUTS;MISSING")
  set(missing ${B_MISSING})
  foreach(file IN LISTS B_TOP B_BIN B_DATA)
    if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
      list(APPEND missing "${file}")
    endif()
  endforeach()
  if(B_ASSETS AND NOT IS_DIRECTORY "${B_ASSETS}")
    list(APPEND missing "${B_ASSETS}")
  endif()
  if(missing)
    list(JOIN missing "\n  " text)
    set(${error_var} "The Tovix bundle would be incomplete; missing:\n  ${text}" PARENT_SCOPE)
    return()
  endif()
  set(${error_var} "" PARENT_SCOPE)

  set(root "$ENV{DESTDIR}${B_PREFIX}")
  set(top_names "")
  foreach(file IN LISTS B_TOP)
    get_filename_component(name "${file}" NAME)
    list(APPEND top_names "${name}")
  endforeach()
  set(bin_names "")
  foreach(file IN LISTS B_BIN)
    get_filename_component(name "${file}" NAME)
    list(APPEND bin_names "${name}")
  endforeach()

  set(stale "")
  foreach(name IN LISTS B_OUTPUTS top_names bin_names)
    get_filename_component(stem "${name}" NAME_WLE)
    foreach(folder "${root}" "${root}/bin")
      list(APPEND stale "${folder}/${name}.debug" "${folder}/${stem}.pdb")
    endforeach()
  endforeach()
  foreach(name IN LISTS B_OUTPUTS)
    if(NOT name IN_LIST top_names)
      list(APPEND stale "${root}/${name}")
    endif()
    if(NOT name IN_LIST bin_names)
      list(APPEND stale "${root}/bin/${name}")
    endif()
  endforeach()
  foreach(path IN LISTS stale)
    if(EXISTS "${path}" AND NOT IS_DIRECTORY "${path}")
      message(STATUS "Removing: ${path}")
      file(REMOVE "${path}")
    endif()
  endforeach()
  file(REMOVE_RECURSE "${root}/data/flutter_assets")
  file(REMOVE "${root}/data/icudtl.dat" "${root}/data/app.so")

  if(B_TOP)
    file(INSTALL DESTINATION "${B_PREFIX}" TYPE PROGRAM FILES ${B_TOP})
  endif()
  if(B_BIN)
    file(INSTALL DESTINATION "${B_PREFIX}/bin" TYPE PROGRAM FILES ${B_BIN})
  endif()
  if(B_ASSETS)
    file(INSTALL DESTINATION "${B_PREFIX}/data/flutter_assets" TYPE DIRECTORY FILES "${B_ASSETS}/")
  else()
    file(MAKE_DIRECTORY "${root}/data/flutter_assets")
  endif()
  set(data ${B_DATA})
  foreach(file IN LISTS B_OPTIONAL_DATA)
    if(EXISTS "${file}" AND NOT IS_DIRECTORY "${file}")
      list(APPEND data "${file}")
    endif()
  endforeach()
  if(data)
    file(INSTALL DESTINATION "${B_PREFIX}/data" TYPE FILE FILES ${data})
  endif()
endfunction()
