tavenook_add_test(test_peer_messenger SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_peer_messenger.cpp
    LIBS tavenook_testsupport)
tavenook_add_test(test_peer_messenger_fuzz
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_peer_messenger_fuzz.cpp LIBS tavenook_testsupport)
