tavenook_add_test(test_server SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_server.cpp
    LIBS tavenook_testsupport)
