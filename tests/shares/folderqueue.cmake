tavenook_add_test(test_folder_request_queue SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_folder_request_queue.cpp)
