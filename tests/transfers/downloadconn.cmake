tavenook_add_test(test_download_connection SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_download_connection.cpp
    LIBS tavenook_testsupport)
