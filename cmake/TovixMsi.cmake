# The MSI: `cmake --build <build> --target msi` lays the bundle out as
# `cmake --install` does (cmake/TovixBundle.cmake) in <build>/msi/bundle and
# turns it into <build>/Tovix-<version>-x64.msi with installer/Tovix.wxs,
# through installer/make_msi.cmake. The version is the version record's, in
# resources/version.h. TovixSetupActions.dll, the package's service step, is
# built with everything else; it travels inside the MSI and is not installed.
#
# Here the MSI is made with wixl (Debian's msitools); on Windows the same
# installer/Tovix.wxs builds with the WiX Toolset 3 (see the README).
#
# Included at the end of the top-level list file, after TovixBundle.cmake.
if(NOT WIN32 OR NOT TARGET Tovix)
  return()
endif()

add_library(TovixSetupActions SHARED ${PROJECT_SOURCE_DIR}/installer/service_step.cpp)
set_target_properties(TovixSetupActions PROPERTIES PREFIX "")
# Windows Installer's library, by file: "msi" alone names the target below.
if(MSVC)
  target_link_libraries(TovixSetupActions PRIVATE msi.lib)
else()
  target_link_libraries(TovixSetupActions PRIVATE -lmsi)
endif()

file(STRINGS ${PROJECT_SOURCE_DIR}/resources/version.h version_line
  REGEX "^#define TOVIX_VERSION_TEXT \"[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\"$")
if(NOT version_line MATCHES "\"(.+)\"")
  message(FATAL_ERROR "resources/version.h holds no TOVIX_VERSION_TEXT \"a.b.c.d\"")
endif()
set(TOVIX_VERSION ${CMAKE_MATCH_1})

find_program(TOVIX_WIXL wixl)
find_program(TOVIX_MSIBUILD msibuild)
# The build's make_msi.cmake: this build's settings (each unless given on the
# command line), then the script.
set(settings "")
foreach(pair "WXS=${PROJECT_SOURCE_DIR}/installer/Tovix.wxs" "WIXL=${TOVIX_WIXL}"
             "MSIBUILD=${TOVIX_MSIBUILD}" "ACTIONS=$<TARGET_FILE:TovixSetupActions>"
             "ICON=${PROJECT_SOURCE_DIR}/resources/tovix.ico" "VERSION=${TOVIX_VERSION}"
             "WORK=${CMAKE_BINARY_DIR}/installer/work")
  string(REGEX MATCH "^[A-Z]+" name "${pair}")
  string(REGEX REPLACE "^[A-Z]+=" "" value "${pair}")
  string(APPEND settings "if(NOT DEFINED ${name})\n  set(${name} \"${value}\")\nendif()\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/installer/make_msi.cmake CONTENT
  "${settings}include(\"${PROJECT_SOURCE_DIR}/installer/make_msi.cmake\")\n")

set(TOVIX_MSI ${CMAKE_BINARY_DIR}/Tovix-${TOVIX_VERSION}-x64.msi)
set(bundle ${CMAKE_BINARY_DIR}/msi/bundle)
set(parts Tovix TovixService TovixDnsGuard TovixSetupActions)
foreach(part flutter_windows app_links_plugin audioplayers_windows_plugin connectivity_plus_plugin
             file_selector_windows_plugin url_launcher_windows_plugin sing-box)
  if(TARGET ${part})
    list(APPEND parts ${part})
  endif()
endforeach()
add_custom_target(msi
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${bundle}
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${bundle}
  COMMAND ${CMAKE_COMMAND} -DBUNDLE=${bundle} -DOUTPUT=${TOVIX_MSI}
          -P ${CMAKE_BINARY_DIR}/installer/make_msi.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/installer/Tovix.wxs ${PROJECT_SOURCE_DIR}/installer/make_msi.cmake
  COMMENT "Building Tovix-${TOVIX_VERSION}-x64.msi"
  VERBATIM)
add_dependencies(msi ${parts})
