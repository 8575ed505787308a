# What each program asks for and can call (read from the built files).
if(MINGW AND TARGET TovixService)
  find_program(TOVIX_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump)
  add_test(NAME shell.privilege_split
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/privilege_split_test.sh ${CMAKE_BINARY_DIR}/bin ${TOVIX_OBJDUMP})
endif()
