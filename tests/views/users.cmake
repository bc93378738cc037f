tavenook_add_test(test_user_views GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_user_views.cpp
    LIBS tavenook_testsupport)
