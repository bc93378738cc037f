tavenook_add_test(test_user_rows GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_user_rows.cpp
    LIBS tavenook_testsupport)
# Its main window listens on the default peer ports first: one such test at a time.
set_tests_properties(test_user_rows PROPERTIES RESOURCE_LOCK default_peer_ports)
