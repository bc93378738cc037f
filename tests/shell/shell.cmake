tavenook_add_test(test_focus GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_focus.cpp)
