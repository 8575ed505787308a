# The bundle that ships, laid out by `cmake --install <build> --prefix <folder>`:
#
#   Tovix.exe, TovixService.exe, TovixDnsGuard.exe, flutter_windows.dll and the
#   five plugin DLLs
#   data\flutter_assets, and data\icudtl.dat and data\app.so where the Flutter
#     build has them
#   bin\sing-box.exe, bin\wintun.dll
#
# and nothing else of the build: no debug files, no import libraries, no test
# programs. With TOVIX_FLUTTER_LIBRARY (a real build) the embedder and plugin
# DLLs are taken from beside their import libraries, the Flutter build's data
# from TOVIX_FLUTTER_DATA and the core from TOVIX_CORE_DIR; each of them must
# exist when the install runs, or it stops before copying anything, naming
# what is missing. A stand-in build ships the stand-ins in their places and an
# empty data\flutter_assets unless TOVIX_FLUTTER_DATA or TOVIX_CORE_DIR is
# given. The install-time work is in TovixBundleInstall.cmake.
#
# Included at the end of the top-level list file, once every target exists.
if(NOT WIN32 OR NOT TARGET Tovix)
  return()
endif()

set(TOVIX_CORE_DIR "" CACHE PATH
  "Folder holding sing-box.exe and wintun.dll for the bundle's bin folder; empty: the stand-in core (stand-in builds only)")
set(TOVIX_FLUTTER_DATA "" CACHE PATH
  "The Flutter build's data: a folder holding flutter_assets, icudtl.dat and (release builds) app.so")

set(top "$<TARGET_FILE:Tovix>" "$<TARGET_FILE:TovixService>" "$<TARGET_FILE:TovixDnsGuard>")
set(bin "")
set(assets "")
set(data "")
set(optional_data "")
set(missing "")

if(TOVIX_FLUTTER_LIBRARY)
  # flutter_windows.dll.lib sits beside flutter_windows.dll.
  get_filename_component(folder "${TOVIX_FLUTTER_LIBRARY}" DIRECTORY)
  list(APPEND top "${folder}/flutter_windows.dll")
else()
  list(APPEND top "$<TARGET_FILE:flutter_windows>")
endif()

foreach(plugin app_links_plugin audioplayers_windows_plugin connectivity_plus_plugin
               file_selector_windows_plugin url_launcher_windows_plugin)
  set(library "")
  foreach(candidate IN LISTS TOVIX_PLUGIN_LIBRARIES)
    get_filename_component(name "${candidate}" NAME_WLE)
    if(name STREQUAL plugin)
      set(library "${candidate}")
    endif()
  endforeach()
  if(library)
    # Each plugin's DLL sits beside its import library.
    get_filename_component(folder "${library}" DIRECTORY)
    list(APPEND top "${folder}/${plugin}.dll")
  elseif(TARGET ${plugin})
    list(APPEND top "$<TARGET_FILE:${plugin}>")
  else()
    list(APPEND missing "${plugin}.dll (no ${plugin}.lib among TOVIX_PLUGIN_LIBRARIES)")
  endif()
endforeach()

if(TOVIX_FLUTTER_DATA)
  set(assets "${TOVIX_FLUTTER_DATA}/flutter_assets")
  list(APPEND optional_data "${TOVIX_FLUTTER_DATA}/app.so")
  if(TOVIX_FLUTTER_LIBRARY)
    list(APPEND data "${TOVIX_FLUTTER_DATA}/icudtl.dat")
  else()
    list(APPEND optional_data "${TOVIX_FLUTTER_DATA}/icudtl.dat")
  endif()
elseif(TOVIX_FLUTTER_LIBRARY)
  list(APPEND missing "data/flutter_assets and data/icudtl.dat (TOVIX_FLUTTER_DATA is not set)")
endif()

if(TOVIX_CORE_DIR)
  list(APPEND bin "${TOVIX_CORE_DIR}/sing-box.exe" "${TOVIX_CORE_DIR}/wintun.dll")
elseif(TOVIX_FLUTTER_LIBRARY OR NOT TARGET sing-box)
  list(APPEND missing "bin/sing-box.exe and bin/wintun.dll (TOVIX_CORE_DIR is not set)")
else()
  # The host only checks that wintun.dll exists; the stand-in core never loads it.
  file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/stand-in-core/wintun.dll" CONTENT "wintun stand-in\n")
  list(APPEND bin "$<TARGET_FILE:sing-box>" "${CMAKE_BINARY_DIR}/stand-in-core/wintun.dll")
endif()

# The file names of every program and DLL this build makes, so that the
# install can clear them (and their debug files) out of an older bundle.
function(tovix_bundle_build_outputs directory out)
  set(names ${${out}})
  get_property(targets DIRECTORY "${directory}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
      list(APPEND names "$<TARGET_FILE_NAME:${target}>")
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    tovix_bundle_build_outputs("${subdirectory}" names)
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
set(outputs "")
tovix_bundle_build_outputs("${PROJECT_SOURCE_DIR}" outputs)

# Each entry quoted, for the generated install code.
function(tovix_bundle_quote out)
  set(text "")
  foreach(item IN LISTS ARGN)
    string(APPEND text " \"${item}\"")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
tovix_bundle_quote(top_args ${top})
tovix_bundle_quote(bin_args ${bin})
tovix_bundle_quote(data_args ${data})
tovix_bundle_quote(optional_args ${optional_data})
tovix_bundle_quote(output_args ${outputs})
tovix_bundle_quote(missing_args ${missing})

install(CODE "
include(\"${CMAKE_CURRENT_LIST_DIR}/TovixBundleInstall.cmake\")
tovix_install_bundle(tovix_bundle_error PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ASSETS \"${assets}\"
  TOP${top_args}
  BIN${bin_args}
  DATA${data_args}
  OPTIONAL_DATA${optional_args}
  OUTPUTS${output_args}
  MISSING${missing_args})
if(tovix_bundle_error)
  message(FATAL_ERROR \"\${tovix_bundle_error}\")
endif()
")
