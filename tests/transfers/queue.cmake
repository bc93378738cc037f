tavenook_add_test(test_transfer_queue SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_transfer_queue.cpp
    LIBS tavenook_testsupport)
