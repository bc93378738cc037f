tavenook_add_test(test_tqm_model SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tqm_model.cpp
    LIBS tavenook_testsupport)
