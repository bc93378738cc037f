tavenook_add_test(test_wishlist SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_wishlist.cpp
    LIBS tavenook_testsupport)
