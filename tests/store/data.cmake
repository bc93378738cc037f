tavenook_add_test(test_data SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_data.cpp)
