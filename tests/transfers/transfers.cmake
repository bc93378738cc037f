tavenook_add_test(test_transfer_threads
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_transfer_threads.cpp LIBS tavenook_testsupport)
