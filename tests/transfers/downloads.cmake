tavenook_add_test(test_downloads SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_downloads.cpp
    LIBS tavenook_testsupport)
