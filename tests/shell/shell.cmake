tavenook_add_test(test_shell GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_shell.cpp)
