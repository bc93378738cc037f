tavenook_add_test(test_dnet SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dnet.cpp LIBS tavenook_testsupport)
