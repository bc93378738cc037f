tavenook_add_test(test_search_views GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_search_views.cpp
    LIBS tavenook_testsupport)
