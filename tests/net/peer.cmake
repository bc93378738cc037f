tavenook_add_test(test_peer_messenger SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_peer_messenger.cpp
    LIBS tavenook_testsupport)
