# The installed service: the install folder rule, the idle rule, the seats
# on its pipe, the administrator's policy on who may use it, and installing,
# running and removing the service through the real programs
# (machine state: the service manager's one TovixService; the removal also
# takes ProgramData\Kelpmarrow, where the tests that hold hklm run cores).
if(WIN32)
  tovix_add_gtest(service_setup_tests
    SOURCES install_folder_test.cpp service_idle_test.cpp service_install_test.cpp
      service_users_policy_test.cpp connection_seats_test.cpp
    LIBS tovix_service
    LOCKS service_manager hklm
    TIMEOUT 120)
  add_executable(TovixServiceUnderTest WIN32 service_under_test.cpp)
  target_link_libraries(TovixServiceUnderTest PRIVATE tovix_service)
  target_include_directories(TovixServiceUnderTest PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # Laid out as the shipped program is, so that the benchmark through it
  # measures what ships.
  tovix_page_aligned_image(TovixServiceUnderTest)
  if(MINGW)
    target_link_options(TovixServiceUnderTest PRIVATE -municode)
  endif()
  add_dependencies(service_setup_tests TovixServiceUnderTest TovixService Tovix)
endif()
