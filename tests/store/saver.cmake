tavenook_add_test(test_saver SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_saver.cpp)
