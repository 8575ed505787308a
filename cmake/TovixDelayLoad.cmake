# System DLLs the main window does not need before its first frame are
# delay-loaded: each is mapped at the first call into it (a VPN start, a
# settings read, the network monitor's own thread) instead of before wWinMain.
# Every one of them is part of Windows, so the load cannot fail on a real
# machine.
#
# MSVC does this with /DELAYLOAD and delayimp.lib. MinGW-w64 needs a
# delay-import library per DLL, made by dlltool from a list of the functions
# called (cmake/delay-load/<name>.def): a function missing from that list fails
# the link of Tovix.exe, so the list cannot silently fall behind the code.
set(TOVIX_DELAY_LOADED_DLLS crypt32 ws2_32 iphlpapi bcrypt shell32)

# Links `target` (PUBLIC) against delay-loaded DLLs: those named after it, or
# TOVIX_DELAY_LOADED_DLLS (Tovix.exe's) when none are.
function(tovix_link_delay_loaded target)
  set(dlls ${ARGN})
  if(NOT dlls)
    set(dlls ${TOVIX_DELAY_LOADED_DLLS})
  endif()
  if(MSVC)
    target_link_libraries(${target} PUBLIC ${dlls} delayimp)
    foreach(name IN LISTS dlls)
      target_link_options(${target} INTERFACE /DELAYLOAD:${name}.dll)
    endforeach()
  elseif(MINGW AND CMAKE_DLLTOOL)
    foreach(name IN LISTS dlls)
      set(library ${CMAKE_BINARY_DIR}/delay-load/lib${name}_delay.a)
      if(NOT TARGET tovix_delay_${name})
        set(def ${PROJECT_SOURCE_DIR}/cmake/delay-load/${name}.def)
        add_custom_command(OUTPUT ${library}
          COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay-load
          COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --output-delaylib ${library}
          DEPENDS ${def}
          VERBATIM)
        add_custom_target(tovix_delay_${name} DEPENDS ${library})
      endif()
      add_dependencies(${target} tovix_delay_${name})
      target_link_libraries(${target} PUBLIC ${library})
    endforeach()
  else()
    target_link_libraries(${target} PUBLIC ${dlls})
  endif()
endfunction()
