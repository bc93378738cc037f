tavenook_add_test(test_streams SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_streams.cpp)
