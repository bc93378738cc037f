tavenook_add_test(test_user_rows GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_user_rows.cpp
    LIBS tavenook_testsupport)
