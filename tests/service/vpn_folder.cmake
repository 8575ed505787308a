# The privileged program's folder, made in scratch folders (never the
# machine's common application data), and the judgements of its descriptor.
if(WIN32)
  tovix_add_gtest(service_folder_tests
    SOURCES admin_only_security_test.cpp vpn_folder_test.cpp
    LIBS tovix_service shell32)
endif()
