# Builds the Tovix MSI from a laid-out bundle, in script mode:
#
#   cmake -DBUNDLE=<folder> -DOUTPUT=<file.msi> [-DVERSION=<a.b.c.d>] -P <build>/installer/make_msi.cmake
#
# The build's copy of this script (written by cmake/TovixMsi.cmake) sets the
# rest: WXS (installer/Tovix.wxs), WIXL, MSIBUILD, ACTIONS
# (TovixSetupActions.dll), ICON, VERSION (the version record's) and WORK (a
# scratch folder).
#
# Every file and folder of the bundle is harvested into <WORK>/bundle.wxs
# (component group BundleFiles, under INSTALLFOLDER): one component per file,
# whose GUID is derived from the file's path in the bundle, so that it stays
# the same from one version to the next, and one per folder, which makes it
# and removes it. Tovix.exe's file is "TovixExe", which the package names,
# and its component holds the Start menu shortcut. A link in the bundle stops
# the build: nothing in it should point elsewhere.
cmake_policy(VERSION 3.20)
foreach(setting BUNDLE OUTPUT VERSION WXS WIXL MSIBUILD ACTIONS ICON WORK)
  if(NOT ${setting})
    message(FATAL_ERROR "make_msi.cmake: ${setting} is not set")
  endif()
endforeach()
if(NOT EXISTS "${BUNDLE}/Tovix.exe")
  message(FATAL_ERROR "make_msi.cmake: ${BUNDLE} holds no Tovix.exe")
endif()

set(component_namespace "6F1C2B3A-8D4E-4F5A-9B6C-7D8E9FA0B1C2")
set(component_ids "")

function(tovix_escape_xml out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  string(REPLACE "'" "&apos;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A component for `relative` (a path in the bundle) holding `content`.
function(tovix_component out relative content)
  string(MD5 hash "${relative}")
  string(UUID guid NAMESPACE ${component_namespace} NAME "${relative}" TYPE SHA1 UPPER)
  set(${out} "<Component Id=\"c${hash}\" Guid=\"{${guid}}\" Win64=\"yes\">${content}</Component>\n"
      PARENT_SCOPE)
  set(component_ids ${component_ids} "c${hash}" PARENT_SCOPE)
endfunction()

# The elements for the content of `folder`, which is `relative` in the bundle
# ("" for the bundle itself, otherwise ending in "/").
function(tovix_harvest out folder relative)
  file(GLOB names LIST_DIRECTORIES true RELATIVE "${folder}" "${folder}/*")
  list(SORT names)
  set(text "")
  foreach(name IN LISTS names)
    set(path "${folder}/${name}")
    string(MD5 hash "${relative}${name}")
    tovix_escape_xml(xml_name "${name}")
    if(IS_SYMLINK "${path}")
      message(FATAL_ERROR "make_msi.cmake: ${path} is a link")
    elseif(name MATCHES "[$]")
      message(FATAL_ERROR "make_msi.cmake: ${path}: '$' would be read as a WiX variable")
    elseif(IS_DIRECTORY "${path}")
      tovix_harvest(inner "${path}" "${relative}${name}/")
      string(APPEND text "<Directory Id=\"d${hash}\" Name=\"${xml_name}\">\n${inner}</Directory>\n")
    else()
      set(id "f${hash}")
      set(shortcut "")
      if("${relative}${name}" STREQUAL "Tovix.exe")
        set(id "TovixExe")
        set(shortcut "<Shortcut Id=\"TovixShortcut\" Directory=\"ProgramMenuFolder\" Name=\"Tovix\" \
Description=\"Tovix VPN\" Target=\"[#TovixExe]\" WorkingDirectory=\"INSTALLFOLDER\"/>")
      endif()
      tovix_escape_xml(source "${relative}${name}")
      tovix_component(component "${relative}${name}"
        "<File Id=\"${id}\" Name=\"${xml_name}\" Source=\"${source}\" KeyPath=\"yes\"/>${shortcut}")
      string(APPEND text "${component}")
    endif()
  endforeach()
  # Each folder is made even when empty (data\flutter_assets of a stand-in
  # build), and removed with the product once empty: Wine's msiexec leaves
  # the folders of removed files otherwise.
  string(MD5 hash "${relative}/")
  tovix_component(component "${relative}/"
    "<CreateFolder/><RemoveFolder Id=\"r${hash}\" On=\"uninstall\"/>")
  string(APPEND text "${component}")
  set(${out} "${text}" PARENT_SCOPE)
  set(component_ids ${component_ids} PARENT_SCOPE)
endfunction()

tovix_harvest(tree "${BUNDLE}" "")
set(refs "")
foreach(id IN LISTS component_ids)
  string(APPEND refs "<ComponentRef Id=\"${id}\"/>\n")
endforeach()
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/bundle.wxs" "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<!-- Harvested from ${BUNDLE} by make_msi.cmake. -->
<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\"><Fragment>
<DirectoryRef Id=\"INSTALLFOLDER\">
${tree}</DirectoryRef>
<ComponentGroup Id=\"BundleFiles\">
${refs}</ComponentGroup>
</Fragment></Wix>
")

# Sources are paths relative to the bundle, where wixl runs: wixl takes no
# absolute path for a file (WiX 3's light finds them with -b <bundle>).
file(RELATIVE_PATH actions "${BUNDLE}" "${ACTIONS}")
file(RELATIVE_PATH icon "${BUNDLE}" "${ICON}")
get_filename_component(output "${OUTPUT}" ABSOLUTE)
file(REMOVE "${output}")
execute_process(
  COMMAND "${WIXL}" -a x64 -D "Version=${VERSION}" -D "ActionsDll=${actions}" -D "Icon=${icon}"
          -o "${output}" "${WXS}" "${WORK}/bundle.wxs"
  WORKING_DIRECTORY "${BUNDLE}"
  RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(failed OR NOT EXISTS "${output}")
  message(FATAL_ERROR "wixl failed:\n${said}")
endif()
# wixl ignores Execute="rollback" and writes an immediate action; the type is
# set to what the package says and WiX 3 writes: a DLL (1) whose result is
# ignored (64), run on rollback (256) from the script (1024) as SYSTEM (2048).
execute_process(
  COMMAND "${MSIBUILD}" "${output}" -q
          "UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'RollBackService'"
  RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(failed)
  file(REMOVE "${output}")
  message(FATAL_ERROR "msibuild failed:\n${said}")
endif()
