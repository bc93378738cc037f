tavenook_add_test(test_update SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_update.cpp)
