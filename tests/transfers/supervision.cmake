tavenook_add_test(test_supervision SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_supervision.cpp
    LIBS tavenook_testsupport)
