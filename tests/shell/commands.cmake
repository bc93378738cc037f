tavenook_add_test(test_commands GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_commands.cpp
    LIBS tavenook_testsupport)
