tavenook_add_test(test_chat_views GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_chat_views.cpp
    LIBS tavenook_testsupport)
