# Shipped binaries keep their debug information beside them, not inside.
# MSVC already writes it to a .pdb; a MinGW binary would otherwise carry
# megabytes of DWARF sections that the loader maps on every start (under Wine
# this alone added about 50 ms to Tovix.exe's start-up). The sections go to
# <file>.debug, which gdb finds through the debug link.
function(tovix_separate_debug_info target)
  if(NOT MINGW OR NOT CMAKE_OBJCOPY)
    return()
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${file}.debug ${file}
    VERBATIM)
endfunction()

# A MinGW program's sections sit on 512-byte boundaries in the file. Windows
# maps such an image all the same, but Wine can map only page-aligned
# sections from the file and reads the others into private memory: a
# megabyte-sized program then costs its whole size in private bytes, and the
# read at every start. Page-aligned sections make Wine share the file's pages
# as Windows does, for a few kilobytes of padding.
function(tovix_page_aligned_image target)
  if(MINGW)
    target_link_options(${target} PRIVATE -Wl,--file-alignment,4096)
  endif()
endfunction()
