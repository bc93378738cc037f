tavenook_add_test(test_transfer_views GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_transfer_views.cpp
    LIBS tavenook_testsupport)
