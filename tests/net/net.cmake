tavenook_add_test(test_server SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_server.cpp
    LIBS tavenook_testsupport)
tavenook_add_test(test_server_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_server_fuzz.cpp
    LIBS tavenook_testsupport)
