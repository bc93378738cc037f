tavenook_add_test(test_diagnostics GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_diagnostics.cpp)
