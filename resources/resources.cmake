# The executable's resources: icon 101, manifest and version record. The
# manifest travels inside the resource script, so MSVC's linker must not add
# one of its own.
if(WIN32 AND TARGET Tovix)
  target_sources(Tovix PRIVATE ${CMAKE_CURRENT_LIST_DIR}/Tovix.rc)
  set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/Tovix.rc APPEND PROPERTY OBJECT_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/Tovix.exe.manifest ${CMAKE_CURRENT_LIST_DIR}/tovix.ico
    ${CMAKE_CURRENT_LIST_DIR}/version.h)
  if(MSVC)
    target_link_options(Tovix PRIVATE /MANIFEST:NO)
  endif()
endif()
