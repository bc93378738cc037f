tavenook_add_test(test_share_views GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_share_views.cpp
    LIBS tavenook_testsupport)
