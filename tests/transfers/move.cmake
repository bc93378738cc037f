tavenook_add_test(test_finished_move SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_finished_move.cpp
    LIBS tavenook_testsupport)
