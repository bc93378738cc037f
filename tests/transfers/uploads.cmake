tavenook_add_test(test_uploads SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_uploads.cpp
    LIBS tavenook_testsupport)
