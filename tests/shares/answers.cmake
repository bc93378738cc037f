tavenook_add_test(test_share_answers SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_share_answers.cpp
    LIBS tavenook_testsupport)
